#include "tools/host/sha256.h"

#include <cstring>

namespace {

constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t initial_hash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr char hex_digits[] = "0123456789abcdef";

std::uint32_t rotate_right(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress_block(std::uint32_t h[8], const unsigned char* p) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<std::uint32_t>(p[4 * i]) << 24 |
               static_cast<std::uint32_t>(p[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(p[4 * i + 2]) << 8 |
               static_cast<std::uint32_t>(p[4 * i + 3]);
    }
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 =
            rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 =
            rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
        const std::uint32_t choice = (e & f) ^ (~e & g);
        const std::uint32_t t1 = k + s1 + choice + round_constants[i] + w[i];
        const std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
        const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = s0 + majority;
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

}  // namespace

void sha256_start(sha256_state& s) {
    std::memcpy(s.h, initial_hash, sizeof s.h);
    s.block_fill = 0;
    s.total_bytes = 0;
}

void sha256_feed(sha256_state& s, const unsigned char* data, std::size_t size) {
    s.total_bytes += size;
    if (s.block_fill > 0) {
        const std::size_t take = size < 64 - s.block_fill ? size : 64 - s.block_fill;
        std::memcpy(s.block + s.block_fill, data, take);
        s.block_fill += take;
        data += take;
        size -= take;
        if (s.block_fill < 64) return;
        compress_block(s.h, s.block);
        s.block_fill = 0;
    }
    for (; size >= 64; data += 64, size -= 64) compress_block(s.h, data);
    std::memcpy(s.block, data, size);
    s.block_fill = size;
}

sha256_digest sha256_finish(sha256_state& s) {
    // A 1 bit, zeros, and the length in bits, to a whole number of blocks.
    const std::uint64_t bits = s.total_bytes * 8;
    s.block[s.block_fill++] = 0x80;
    if (s.block_fill > 56) {
        std::memset(s.block + s.block_fill, 0, 64 - s.block_fill);
        compress_block(s.h, s.block);
        s.block_fill = 0;
    }
    std::memset(s.block + s.block_fill, 0, 56 - s.block_fill);
    for (int i = 0; i < 8; ++i) s.block[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    compress_block(s.h, s.block);
    sha256_digest out;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = static_cast<unsigned char>(s.h[i] >> (24 - 8 * j));
    }
    return out;
}

std::string sha256_hex(const sha256_digest& digest) {
    std::string out;
    for (const unsigned char byte : digest) {
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 15];
    }
    return out;
}
