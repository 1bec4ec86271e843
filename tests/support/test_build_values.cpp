// Build-time values for unit-test programs, in a values section of their own
// image as `fenwix build` writes it: the default texts and a block whose
// entry stream is just the terminator, in one frame of raw blocks with a
// 2^27 window. The launcher's code finds it the way a built launcher does.
#include <cstddef>
#include <cstdint>

namespace {

struct test_values_section {
    char magic[8];
    std::uint64_t block_offset;
    std::uint64_t block_length;
    std::uint32_t texts[8];  // offset and length in units, four times
    std::uint64_t zero;
    wchar_t extraction_template[20];
    wchar_t company[12];
    wchar_t product[8];
    wchar_t version[9];
    alignas(16) unsigned char block[26];
};

}  // namespace

extern const test_values_section test_values;
__attribute__((section(".fenwix"), used)) const test_values_section test_values = {
    {'F', 'W', 'X', 'V', 'A', 'L', 'S', '1'},
    offsetof(test_values_section, block),
    sizeof test_values.block,
    {offsetof(test_values_section, extraction_template), 19, offsetof(test_values_section, company),
     11, offsetof(test_values_section, product), 7, offsetof(test_values_section, version), 8},
    0,
    L"{CACHE_DIR}\\Orvelle",
    L"Quenmar Ltd",
    L"Orvelle",
    L"1.26.0.0",
    {
        'Q',  'J',  'X',                          // header
        0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x88,       // frame header: window 2^27
        0x11, 0x00, 0x00, 0x00, 0x00,             // last raw block of 2 bytes: the terminator
        0,    0,    0,    0,                      // zero field
        18,   0,    0,    0,    0,    0,    0, 0  // trailer: bytes before it
    },
};

#include "launcher/unpack/checksum.h"

namespace {

// Each test program starts as the launcher does, its checksum tables made
// before anything is summed.
const bool checksum_ready = (checksum_choose_implementation(), true);

}  // namespace
