// Build-time values for unit-test programs: the defaults of `fenwix build`
// and a block whose entry stream is just the terminator, in one frame of raw
// blocks with a 2^27 window.
#include "resources/build_values.h"

extern "C" {
const wchar_t fenwix_extraction_template[] = L"{CACHE_DIR}\\Orvelle";
const wchar_t fenwix_company_name[] = L"Quenmar Ltd";
const wchar_t fenwix_product_name[] = L"Orvelle";
const wchar_t fenwix_version[] = L"1.26.0.0";
const unsigned char fenwix_payload_block[] = {
    'Q',  'J',  'X',                            // header
    0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x88,         // frame header: window 2^27
    0x11, 0x00, 0x00, 0x00, 0x00,               // last raw block of 2 bytes: the terminator
    0,    0,    0,    0,                        // zero field
    18,   0,    0,    0,    0,    0,    0, 0};  // trailer: bytes before it
const std::uint64_t fenwix_payload_block_length = sizeof fenwix_payload_block;
}
