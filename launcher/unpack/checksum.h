// CRC-32 (the zlib/PNG polynomial) of what the launcher writes and checks.
// Every byte of a cold start passes through it, as many as the decoder
// gives, so where the processor can multiply without carries (PCLMULQDQ,
// on every x86-64 machine Windows 10 runs on) it folds 64 bytes at a time,
// several times faster than zlib's tables; elsewhere it is zlib's crc32_z.
#pragma once

#include <cstddef>
#include <cstdint>

// Looks at the processor once; until then (and where it cannot) every call
// is zlib's. Called by the main sequence before any thread starts.
void checksum_choose_implementation();

// The running CRC-32 of data after `crc` (0 to begin), as zlib's crc32_z.
std::uint32_t checksum_update(std::uint32_t crc, const void* data, std::size_t size);

// The decision: whether CPUID leaf 1's ECX names both PCLMULQDQ and SSE4.1.
bool has_carryless_multiply(std::uint32_t cpuid1_ecx);
