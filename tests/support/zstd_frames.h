// Hand-made Zstandard frames of raw (stored) blocks, so that tests control
// every header field: window size, dictionary id, content checksum. The
// launcher's own libzstd has no compressor, and none is needed for this.
#pragma once

#include "tests/support/block_bytes.h"

#include <cstdint>
#include <vector>

using bytes = std::vector<unsigned char>;

// Window descriptor bytes: exponent in the high 5 bits (window log - 10),
// mantissa in the low 3 bits (eighths of the base added).
constexpr unsigned char window_2_27 = (17 << 3) | 0;            // 2^27, the block as built
constexpr unsigned char window_2_27_plus_2_24 = (17 << 3) | 1;  // the next larger one

struct frame_fields {
    unsigned char window_descriptor = window_2_27;
    bool content_checksum = false;
    bool wrong_checksum = false;
    std::uint32_t dictionary_id = 0;
};

bytes raw_frame(const bytes& content, const frame_fields& fields = {});

// A byte pattern that makes misplaced or repeated bytes visible.
bytes pattern(std::size_t n, unsigned seed = 1);

bytes concat(bytes a, const bytes& b);
