// Values fixed when a launcher is built: the extraction template, company,
// product, version, the payload block and the index of its entries. `fenwix
// build` adds them to the precompiled launcher as a section of its own
// (format/values_section.h);
// the launcher finds that section in its own mapped image, never by reading
// its file, so a signature or the file's location do not matter.
#pragma once

#include <cstddef>
#include <cstdint>

struct build_values {
    const wchar_t* extraction_template;  // e.g. L"{CACHE_DIR}\\Orvelle"
    const wchar_t* company_name;         // e.g. L"Quenmar Ltd"
    const wchar_t* product_name;         // e.g. L"Orvelle"
    const wchar_t* version;              // e.g. L"1.26.0.0"
    const unsigned char* payload_block;  // "QJX", frame, zero field, trailer
    std::uint64_t payload_block_length;
    const unsigned char* index;  // format/index.h; nullptr when the launcher has none
    std::size_t index_length;
    bool windowed;  // the image is a GUI program: failures and progress show in windows
    // The launch line (format/values_section.h), none when the counts are 0.
    const unsigned char* values_section;  // where its texts' offsets start
    std::uint32_t launch_flags;
    std::uint32_t fixed_argument_count;
    std::uint32_t variable_count;
    std::size_t launch_first_text;
};

// This process's values, looked up once. An image without a values section
// (the bare stub) gets empty texts and an empty block, whose header check
// then fails.
const build_values& launcher_build_values();
