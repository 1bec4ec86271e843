// Values fixed when a launcher is built. `fenwix build` generates them as
// read-only data (the block itself is included byte for byte by the
// assembler) and links them with the launcher's precompiled code.
#pragma once

#include <cstdint>

extern "C" {
extern const wchar_t fenwix_extraction_template[];  // e.g. L"{CACHE_DIR}\\Orvelle"
extern const wchar_t fenwix_company_name[];         // e.g. L"Quenmar Ltd"
extern const wchar_t fenwix_product_name[];         // e.g. L"Orvelle"
extern const wchar_t fenwix_version[];              // e.g. L"1.26.0.0"
extern const unsigned char fenwix_payload_block[];  // "QJX", frame, zero field, trailer
extern const std::uint64_t fenwix_payload_block_length;
}
