#include "tools/image/pe_resources.h"

#include "format/block.h"
#include "tools/host/text.h"

#include <cstring>

namespace {

constexpr std::uint16_t rt_icon = 3;
constexpr std::uint16_t rt_group_icon = 14;
constexpr std::uint16_t rt_version = 16;
constexpr std::uint16_t rt_manifest = 24;
constexpr std::uint16_t language_en_us = 1033;

constexpr std::size_t ico_header_size = 6;
constexpr std::size_t ico_entry_size = 16;
// The part of an .ico directory entry that a group icon entry repeats: width,
// height, colour count, reserved, planes, bit count, bytes in resource.
constexpr std::size_t group_copied_size = 12;

std::uint32_t get_le(const unsigned char* p, int bytes) {
    return static_cast<std::uint32_t>(payload_format::read_le(p, bytes));
}

void put_le(std::vector<unsigned char>& out, std::size_t at, std::uint32_t v, int bytes) {
    payload_format::write_le(out.data() + at, v, bytes);
}

void append_le(std::vector<unsigned char>& out, std::uint32_t v, int bytes) {
    out.resize(out.size() + bytes);
    put_le(out, out.size() - bytes, v, bytes);
}

void append_text(std::vector<unsigned char>& out, const std::u16string& text) {
    for (char16_t unit : text) append_le(out, unit, 2);
    append_le(out, 0, 2);
}

void pad_to(std::vector<unsigned char>& out, std::size_t alignment) {
    out.resize((out.size() + alignment - 1) / alignment * alignment, 0);
}

// ---- the version resource (VS_VERSIONINFO) ----
//
// Every block is wLength, wValueLength, wType, its key with a 0 unit, padding
// to 32 bits, its value, then its children, each starting on a 32-bit
// boundary. wLength runs to the end of the block's last byte, so padding
// between siblings counts in the parent's length but no block counts padding
// after itself; this is what Windows' own resource compiler writes and what
// VerQueryValueW walks.

constexpr std::uint16_t binary_value = 0;
constexpr std::uint16_t text_value = 1;

std::size_t begin_block(std::vector<unsigned char>& out, const std::u16string& key,
                        std::size_t value_length, std::uint16_t type) {
    pad_to(out, 4);
    const std::size_t start = out.size();
    append_le(out, 0, 2);  // wLength, set by end_block
    append_le(out, static_cast<std::uint32_t>(value_length), 2);
    append_le(out, type, 2);
    append_text(out, key);
    pad_to(out, 4);
    return start;
}

void end_block(std::vector<unsigned char>& out, std::size_t start) {
    const std::size_t length = out.size() - start;
    if (length > 0xFFFF) {
        throw tool_error(
            "the company, product, version, description and copyright texts are too long for a "
            "version "
            "resource (" +
            std::to_string(length) + " bytes in one block, at most 65535)");
    }
    put_le(out, start, static_cast<std::uint32_t>(length), 2);
}

void append_string(std::vector<unsigned char>& out, const std::u16string& key,
                   const std::u16string& value) {
    // wValueLength counts characters with the 0 unit, so an empty text is one
    // 0 unit that VerQueryValueW can still return.
    const std::size_t start = begin_block(out, key, value.size() + 1, text_value);
    append_text(out, value);
    end_block(out, start);
}

std::uint32_t version_half(unsigned high, unsigned low) {
    if (high > 0xFFFF || low > 0xFFFF) {
        throw tool_error("a version number part is above 65535");
    }
    return static_cast<std::uint32_t>(high) << 16 | low;
}

std::vector<unsigned char> version_info(const resource_values& v) {
    const std::uint32_t version_ms = version_half(v.version_parts[0], v.version_parts[1]);
    const std::uint32_t version_ls = version_half(v.version_parts[2], v.version_parts[3]);
    const std::uint32_t fixed_file_info[13] = {
        0xFEEF04BD,              // signature
        0x00010000,              // structure version 1.0
        version_ms, version_ls,  // file version
        version_ms, version_ls,  // product version
        0x3F,                    // VS_FFI_FILEFLAGSMASK
        0,                       // no flags: a release build
        0x40004,                 // VOS_NT_WINDOWS32
        1,                       // VFT_APP
        0,                       // no subtype
        0,          0,           // no date
    };
    std::vector<unsigned char> out;
    const std::size_t root =
        begin_block(out, u"VS_VERSION_INFO", sizeof fixed_file_info, binary_value);
    for (std::uint32_t field : fixed_file_info) append_le(out, field, 4);

    const std::size_t string_file_info = begin_block(out, u"StringFileInfo", 0, text_value);
    // Language neutral, Unicode code page: the same key as the translation below.
    const std::size_t table = begin_block(out, u"000004b0", 0, text_value);
    append_string(out, u"CompanyName", v.company);
    append_string(out, u"ProductName", v.product);
    append_string(out, u"FileDescription", v.description);
    append_string(out, u"LegalCopyright", v.copyright);
    append_string(out, u"FileVersion", v.version);
    append_string(out, u"ProductVersion", v.version);
    append_string(out, u"InternalName", v.product);
    append_string(out, u"OriginalFilename", v.product + u".exe");
    end_block(out, table);
    end_block(out, string_file_info);

    const std::size_t var_file_info = begin_block(out, u"VarFileInfo", 0, text_value);
    const std::size_t translation = begin_block(out, u"Translation", 4, binary_value);
    append_le(out, 0x0000, 2);  // language neutral
    append_le(out, 0x04B0, 2);  // code page 1200, UTF-16
    end_block(out, translation);
    end_block(out, var_file_info);
    end_block(out, root);
    return out;
}

// ---- the section ----

struct resource {
    std::uint16_t id;
    const unsigned char* data;
    std::size_t size;
};

struct resource_type {
    std::uint16_t type;
    std::vector<resource> resources;  // ascending by id
};

constexpr std::size_t directory_header_size = 16;
constexpr std::size_t directory_entry_size = 8;
constexpr std::size_t data_entry_size = 16;
constexpr std::uint32_t subdirectory_flag = 0x80000000;

std::size_t directory_size(std::size_t entries) {
    return directory_header_size + entries * directory_entry_size;
}

// IMAGE_RESOURCE_DIRECTORY with no timestamp, no version and only id entries.
void put_directory_header(std::vector<unsigned char>& out, std::size_t at, std::size_t entries) {
    put_le(out, at + 14, static_cast<std::uint32_t>(entries), 2);
}

void put_directory_entry(std::vector<unsigned char>& out, std::size_t directory, std::size_t index,
                         std::uint16_t id, std::uint32_t target) {
    const std::size_t at = directory + directory_header_size + index * directory_entry_size;
    put_le(out, at, id, 4);
    put_le(out, at + 4, target, 4);
}

std::uint64_t align8(std::uint64_t n) { return (n + 7) / 8 * 8; }

std::vector<unsigned char> lay_out(std::uint32_t section_rva,
                                   const std::vector<resource_type>& types) {
    std::uint64_t directories = directory_size(types.size());
    std::uint64_t data_bytes = 0;
    std::size_t count = 0;
    for (const resource_type& t : types) {
        directories += directory_size(t.resources.size()) + t.resources.size() * directory_size(1);
        for (const resource& r : t.resources) data_bytes += align8(r.size);
        count += t.resources.size();
    }
    const std::uint64_t blobs_start = directories + count * data_entry_size;
    const std::uint64_t total = blobs_start + data_bytes;
    if (total > 0xFFFFFFFFull - section_rva) {
        throw tool_error("the resources (" + std::to_string(total) +
                         " bytes) do not fit in a Windows image");
    }

    std::vector<unsigned char> out(static_cast<std::size_t>(total), 0);
    put_directory_header(out, 0, types.size());
    std::size_t next_directory = directory_size(types.size());
    std::size_t next_data_entry = static_cast<std::size_t>(directories);
    std::size_t next_blob = static_cast<std::size_t>(blobs_start);
    for (std::size_t i = 0; i < types.size(); ++i) {
        const resource_type& t = types[i];
        const std::size_t ids = next_directory;
        next_directory += directory_size(t.resources.size());
        put_directory_entry(out, 0, i, t.type, subdirectory_flag | static_cast<std::uint32_t>(ids));
        put_directory_header(out, ids, t.resources.size());
        for (std::size_t j = 0; j < t.resources.size(); ++j) {
            const resource& r = t.resources[j];
            const std::size_t languages = next_directory;
            next_directory += directory_size(1);
            put_directory_entry(out, ids, j, r.id,
                                subdirectory_flag | static_cast<std::uint32_t>(languages));
            put_directory_header(out, languages, 1);
            put_directory_entry(out, languages, 0, language_en_us,
                                static_cast<std::uint32_t>(next_data_entry));
            // IMAGE_RESOURCE_DATA_ENTRY: RVA, size, code page 0, reserved 0.
            put_le(out, next_data_entry, section_rva + static_cast<std::uint32_t>(next_blob), 4);
            put_le(out, next_data_entry + 4, static_cast<std::uint32_t>(r.size), 4);
            next_data_entry += data_entry_size;
            if (r.size != 0) std::memcpy(out.data() + next_blob, r.data, r.size);
            next_blob += static_cast<std::size_t>(align8(r.size));
        }
    }
    return out;
}

}  // namespace

void check_icon_file(const std::vector<unsigned char>& ico, const std::string& what) {
    const auto refuse = [&](const std::string& reason) {
        throw tool_error(what + " is not a Windows .ico file: " + reason);
    };
    if (ico.size() < ico_header_size || get_le(&ico[0], 2) != 0 || get_le(&ico[2], 2) != 1) {
        refuse("it does not start with an icon header");
    }
    const std::size_t count = get_le(&ico[4], 2);
    if (count == 0) refuse("it holds no image");
    if (ico.size() < ico_header_size + count * ico_entry_size) {
        refuse("its directory of " + std::to_string(count) + " images is cut short");
    }
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* entry = &ico[ico_header_size + i * ico_entry_size];
        const std::uint64_t size = get_le(entry + 8, 4);
        const std::uint64_t offset = get_le(entry + 12, 4);
        const std::string image = "image " + std::to_string(i + 1);
        if (size == 0) refuse(image + " is empty");
        if (offset > ico.size() || size > ico.size() - offset) {
            refuse(image + " lies outside the file");
        }
    }
}

std::vector<unsigned char> resource_section(std::uint32_t section_rva, const resource_values& v) {
    check_icon_file(v.icon_file, "the icon");
    const std::vector<unsigned char>& ico = v.icon_file;
    const std::size_t count = get_le(&ico[4], 2);

    // RT_ICON ids 1..n in the .ico's order; the group names each by its id.
    resource_type icons{rt_icon, {}};
    std::vector<unsigned char> group;
    append_le(group, 0, 2);  // reserved
    append_le(group, 1, 2);  // an icon, not a cursor
    append_le(group, static_cast<std::uint32_t>(count), 2);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* entry = &ico[ico_header_size + i * ico_entry_size];
        const std::uint16_t id = static_cast<std::uint16_t>(i + 1);
        icons.resources.push_back({id, &ico[get_le(entry + 12, 4)], get_le(entry + 8, 4)});
        group.insert(group.end(), entry, entry + group_copied_size);
        append_le(group, id, 2);
    }
    const std::vector<unsigned char> version = version_info(v);

    const std::vector<resource_type> types = {
        icons,
        {rt_group_icon, {{1, group.data(), group.size()}}},
        {rt_version, {{1, version.data(), version.size()}}},
        {rt_manifest, {{1, v.manifest.data(), v.manifest.size()}}},
    };
    return lay_out(section_rva, types);
}
