// Fuzzes the reader of a program's version resource (tools/image/
// version_reader.cpp) over arbitrary resource sections, as `fenwix build`
// reads the main program of any folder a vendor hands it: whatever the
// bytes, it returns (never reads outside them), and every text it returns
// came from them; four_part_version gives four numbers or nothing.
#include "tools/image/version_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::uint32_t section_rva = 0x4000;

void check_version(const std::u16string& text) {
    const std::string v = four_part_version(text);
    if (v.empty()) return;
    unsigned parts = 1;
    for (char c : v) {
        if (c == '.')
            ++parts;
        else if (c < '0' || c > '9')
            std::abort();
    }
    if (parts != 4) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first two bytes place the resource directory in the section, as a
    // data directory entry would.
    if (size < 2) return 0;
    resource_span span;
    span.section_rva = section_rva;
    span.directory_rva = section_rva + (data[0] | data[1] << 8);
    span.size = static_cast<std::uint32_t>(size - 2);
    const std::vector<unsigned char> section(data + 2, data + size);
    const program_version v = read_program_version(section, span);
    for (const std::u16string* text : {&v.product_name, &v.company_name, &v.product_version,
                                       &v.file_version, &v.file_description, &v.legal_copyright}) {
        if (text->size() > section.size() / 2) std::abort();
        check_version(*text);
    }
    return 0;
}
