// The launcher's resource section (.rsrc): its icon group, version resource
// and manifest, written byte for byte so that no resource compiler is needed.
//
// Layout: every directory first (the root, then for each type its id
// directory followed by one language directory per id), then the data
// entries, then the data, each piece at a multiple of 8. Ids are integers,
// sorted ascending at every level because the loader binary-searches them;
// every resource has language 1033 and code page 0. Nothing depends on the
// time or the machine, so the same values always give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct resource_values {
    std::u16string company, product, version;  // version text as given, e.g. u"2.4.0.0"
    std::u16string description, copyright;     // FileDescription and LegalCopyright as given
    unsigned version_parts[4];                 // the same version as four numbers 0..65535
    std::vector<unsigned char> manifest;       // the manifest file's bytes, stored as they are
    std::vector<unsigned char> icon_file;      // a whole .ico file
};

// Throws tool_error("<what> is not a Windows .ico file: <reason>") when the
// bytes are not a usable .ico file: header not 0,0,1,0; zero images; the
// directory or any image's bytes outside the file; an image of 0 bytes.
void check_icon_file(const std::vector<unsigned char>& ico, const std::string& what);

// The complete bytes of a resource section that the loader will map at
// `section_rva` (data entries hold absolute RVAs); the size is a multiple of
// 8. Throws tool_error for an unusable icon, a version part above 65535, or
// texts too long for a version resource.
std::vector<unsigned char> resource_section(std::uint32_t section_rva, const resource_values& v);
