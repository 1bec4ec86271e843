// SHA-256 (FIPS 180-4), fed in pieces of any size, for the bill of
// materials `fenwix sbom` writes: a file's digest is computed as its bytes
// stream past, never over the file held whole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct sha256_state {
    std::uint32_t h[8];
    unsigned char block[64];    // the bytes of the block not yet complete
    std::size_t block_fill;     // how many of them
    std::uint64_t total_bytes;  // everything fed so far
};

using sha256_digest = std::array<unsigned char, 32>;

void sha256_start(sha256_state& s);
void sha256_feed(sha256_state& s, const unsigned char* data, std::size_t size);
sha256_digest sha256_finish(sha256_state& s);

// The digest as 64 lower-case hexadecimal digits.
std::string sha256_hex(const sha256_digest& digest);
