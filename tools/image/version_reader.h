// Reading what a program says about itself: the texts and numbers of its
// version resource (VS_VERSIONINFO), which `fenwix build` takes as the
// launcher's defaults. Pure functions over the image's bytes: the caller
// reads the headers and the one section that holds the resources.
//
// A program's resources are written by many tools, and some write them
// loosely (a wValueLength in bytes where units were meant, a missing
// terminator), so the reader trusts only wLength and the bounds: anything it
// cannot follow gives no value rather than an error, since a default is a
// convenience and never a reason to refuse a build.
#pragma once

#include "tools/image/pe_image.h"

#include <cstdint>
#include <string>
#include <vector>

struct program_version {
    // The texts of the first string table, by key; absent keys are empty.
    std::u16string product_name, company_name, product_version, file_version, file_description,
        legal_copyright;
    bool has_fixed = false;     // a VS_FIXEDFILEINFO with its signature was found
    unsigned fixed_product[4];  // its product version, when has_fixed
};

// Enough for the headers of any program a linker writes.
constexpr std::size_t version_head_bytes = 64 * 1024;
// The resources of a program lie in one section, mostly a few hundred KiB;
// one larger than this is not read.
constexpr std::uint64_t max_resource_section = 64u << 20;

// Where the resource directory lies: the file offset and raw size of the
// section that holds it, and the section's RVA; false when the image has no
// resources.
struct resource_span {
    std::uint64_t file_offset = 0;
    std::uint32_t size = 0;
    std::uint32_t section_rva = 0;
    std::uint32_t directory_rva = 0;
};
bool find_resource_span(const unsigned char* head, std::size_t available, const pe_headers& headers,
                        resource_span& span);

// The version resource found in the resource section's bytes, mapped at
// span.section_rva; all empty when there is none or it cannot be followed.
program_version read_program_version(const std::vector<unsigned char>& section,
                                     const resource_span& span);

// A version text as four numbers: the leading numbers of the text, split by
// dots or commas (with blanks around them), at most four, the missing ones
// 0, each at most 65535 ("22.22.0" gives "22.22.0.0", "1, 2, 3, 4" gives
// "1.2.3.4", "3.1-beta" gives "3.1.0.0"); empty when it starts with no number.
std::string four_part_version(const std::u16string& text);

// The version resource of a program whose bytes pass once, in order, in
// pieces of any size (an entry decoded from a block): only its headers and
// its resource section are kept, never the whole file.
struct version_stream {
    std::uint64_t file_size = 0;
    std::uint64_t seen = 0;  // bytes fed so far
    std::vector<unsigned char> head;
    bool located = false;   // the headers were read and name a resource section to keep
    bool hopeless = false;  // no version resource can come of it
    resource_span span;
    std::vector<unsigned char> section;
};
void version_stream_start(version_stream& v, std::uint64_t file_size);
void version_stream_feed(version_stream& v, const unsigned char* data, std::size_t size);
// After the file's last byte: its version resource, all empty when it has none.
program_version version_stream_finish(version_stream& v);
