#include "launcher/base/build_values.h"

#include "format/values_section.h"

#include <windows.h>

#include <cstring>

namespace {

build_values values;        // this process's values, once found
bool values_known = false;  // set by the first lookup

// Reads the values section of an image mapped at image_base, and whether the
// image is a GUI program. Returns false when it has no valid values section.
bool find_build_values(const unsigned char* image_base, build_values& out) {
    // The loader has checked these headers before running any code of ours.
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image_base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image_base + dos->e_lfanew);
    out.windowed = nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::memcmp(section->Name, values_section::section_name, 8) != 0) continue;
        const unsigned char* data = image_base + section->VirtualAddress;
        values_section::layout layout;
        if (!values_section::parse(data, section->Misc.VirtualSize, layout)) return false;
        const auto text = [&](int index) {
            return reinterpret_cast<const wchar_t*>(data + layout.texts[index].offset);
        };
        out.extraction_template = text(values_section::text_template);
        out.company_name = text(values_section::text_company);
        out.product_name = text(values_section::text_product);
        out.version = text(values_section::text_version);
        out.payload_block = data + layout.block_offset;
        out.payload_block_length = layout.block_length;
        out.index = layout.index_length == 0 ? nullptr : data + layout.index_offset;
        out.index_length = layout.index_length;
        out.values_section = data;
        out.launch_flags = 0;
        out.fixed_argument_count = 0;
        out.variable_count = 0;
        out.launch_first_text = 0;
        if (layout.launch_length != 0) {
            const values_section::launch_line launch = values_section::read_launch(data, layout);
            out.launch_flags = launch.flags;
            out.fixed_argument_count = launch.argument_count;
            out.variable_count = launch.variable_count;
            out.launch_first_text = launch.first_text;
        }
        return true;
    }
    return false;
}

}  // namespace

const build_values& launcher_build_values() {
    if (!values_known) {
        const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
        if (!find_build_values(base, values)) {
            values = build_values{L"",     L"", L"", L"", nullptr, 0, nullptr, 0, values.windowed,
                                  nullptr, 0,   0,   0,   0};
        }
        values_known = true;
    }
    return values;
}
