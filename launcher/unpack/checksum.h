// CRC-32 (the zlib/PNG polynomial) of what the launcher writes and checks.
// Every byte of a cold start passes through it, as many as the decoder
// gives, so where the processor can multiply without carries (PCLMULQDQ)
// it folds 64 bytes at a time, several times faster than tables; elsewhere,
// and for the last bytes, eight tables made at start read 8 bytes a step.
// The tables live in memory, not in the file: zlib's would add 10 KB to a
// launcher that must stay small.
#pragma once

#include <cstddef>
#include <cstdint>

// Makes the tables and looks at the processor once. Called by the main
// sequence before any thread starts, and before any checksum_update.
void checksum_choose_implementation();

// Folds by carry-less multiplication only when `carryless` (and the
// processor can), else uses the tables alone; for tests of both.
void checksum_use_carryless(bool carryless);

// The running CRC-32 of data after `crc` (0 to begin), as zlib's crc32_z.
std::uint32_t checksum_update(std::uint32_t crc, const void* data, std::size_t size);

// The CRC-32 of A then B, from A's (`first`), B's (`second`) and B's length,
// as zlib's crc32_combine64: an entry's pieces are summed apart, one for
// each frame it lies in.
std::uint32_t checksum_combine(std::uint32_t first, std::uint32_t second,
                               std::uint64_t second_length);

// The decision: whether CPUID leaf 1's ECX names both PCLMULQDQ and SSE4.1.
bool has_carryless_multiply(std::uint32_t cpuid1_ecx);
