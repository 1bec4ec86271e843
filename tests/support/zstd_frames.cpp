#include "tests/support/zstd_frames.h"

#include <algorithm>

extern "C" unsigned long long ZSTD_XXH64(const void* data, std::size_t n, unsigned long long seed);

namespace {

constexpr std::size_t max_block = 131072;

void put_le(bytes& out, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

}  // namespace

bytes raw_frame(const bytes& content, const frame_fields& fields) {
    bytes out;
    put_le(out, 0xFD2FB528u, 4);  // frame magic
    unsigned char descriptor = 0;
    if (fields.content_checksum) descriptor |= 0x04;
    if (fields.dictionary_id != 0) descriptor |= 0x03;  // 4-byte dictionary id
    out.push_back(descriptor);
    out.push_back(fields.window_descriptor);
    if (fields.dictionary_id != 0) put_le(out, fields.dictionary_id, 4);
    std::size_t pos = 0;
    do {
        const std::size_t n = std::min(max_block, content.size() - pos);
        const bool last = pos + n == content.size();
        put_le(out, (last ? 1u : 0u) | (0u << 1) | (n << 3), 3);  // raw block header
        out.insert(out.end(), content.begin() + pos, content.begin() + pos + n);
        pos += n;
    } while (pos < content.size());
    if (fields.content_checksum) {
        std::uint32_t sum =
            static_cast<std::uint32_t>(ZSTD_XXH64(content.data(), content.size(), 0));
        if (fields.wrong_checksum) sum ^= 1;
        put_le(out, sum, 4);
    }
    return out;
}

bytes pattern(std::size_t n, unsigned seed) {
    bytes out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<unsigned char>(x);
    }
    return out;
}

bytes concat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
