// The section of build-time values that `fenwix build` adds to the launcher
// stub, byte for byte. The launcher finds it in its own mapped image by its
// section name; the builder writes it and `fenwix list|verify|extract` read it
// back from a file. All integers are little-endian.
//
//   offset  size  field
//   0       8     magic "FWXVALS1"
//   8       8     block offset, from the start of the section (a multiple of 16)
//   16      8     block length L
//   24      8     template: u32 offset, u32 length in UTF-16 units
//   32      8     company:  the same
//   40      8     product:  the same
//   48      8     version:  the same
//   56      8     index:    u32 offset, u32 length in bytes; both 0 when there is none
//   64      8     launch line: u32 offset, u32 length in bytes   (only "FWXVALS2")
//   64 or 72      the four texts, each UTF-16LE with a 0 unit after its length
//   then          the launch line, when there is one (below)
//   then          the index, when there is one (format/index.h)
//   block offset  the payload block, L bytes ("QJX", frame, zero field, trailer)
//
// A launcher with no launch line carries "FWXVALS1" and the 64-byte header,
// exactly as launchers did before launch lines existed; one with a launch
// line carries "FWXVALS2" and the 72-byte header. Readers take both.
//
// The launch line (fixed arguments, variables and the program's folder):
//   0   4   flags: bit 0 = start the program in the folder it was unpacked into,
//               bit 1 = the quick check (trust a file its listing shows unchanged),
//               bits 16-31 = versions kept side by side (0: every version;
//               format/version_folders.h)
//   4   4   fixed argument count A
//   8   4   variable count V
//   12      A arguments, then V variables ("NAME=VALUE", NAME not empty),
//           each a u32 length in UTF-16 units, the units, and a 0 unit
// Every text is template text: the launcher expands its keywords at start.
//
// Each text starts at an even offset and its 0 unit lies inside the section;
// the launch line and the index start at even offsets and end before the
// block; the block lies inside the section too. A section that breaks any of
// these rules is not a values section.
#pragma once

#include "format/block.h"

#include <cstddef>
#include <cstdint>

namespace values_section {

// Section names are at most 8 bytes; this one is padded with zeros.
constexpr char section_name[8] = {'.', 'f', 'e', 'n', 'w', 'i', 'x', '\0'};
constexpr char magic[8] = {'F', 'W', 'X', 'V', 'A', 'L', 'S', '1'};
constexpr char magic_with_launch[8] = {'F', 'W', 'X', 'V', 'A', 'L', 'S', '2'};
constexpr std::size_t header_size = 64;
constexpr std::size_t header_size_with_launch = 72;
constexpr std::size_t block_alignment = 16;
constexpr std::size_t text_count = 4;
enum text_index { text_template = 0, text_company = 1, text_product = 2, text_version = 3 };

struct text_view {
    std::size_t offset;  // from the start of the section
    std::size_t units;   // without the 0 unit
};

struct layout {
    text_view texts[text_count];
    std::size_t index_offset;  // 0 when there is no index
    std::size_t index_length;
    std::size_t launch_offset;  // 0 when there is no launch line
    std::size_t launch_length;
    std::uint64_t block_offset;
    std::uint64_t block_length;
};

using payload_format::read_le;
using payload_format::write_le;

// Reads and checks the header of a section of `size` bytes at `data`. Only
// the first header_size bytes and the texts are looked at; the block is not.
inline bool has_magic(const unsigned char* data, const char (&m)[8]) {
    for (std::size_t i = 0; i < sizeof m; ++i) {
        if (data[i] != static_cast<unsigned char>(m[i])) return false;
    }
    return true;
}

// An area of `length` bytes at `offset`: even, after the header, before the
// block. A zero offset and length mean no area.
inline bool is_area(std::uint64_t offset, std::uint64_t length, std::uint64_t header,
                    std::uint64_t block_offset) {
    return offset >= header && offset % 2 == 0 && offset <= block_offset &&
           length <= block_offset - offset;
}

inline bool parse_launch(const unsigned char* data, std::size_t offset, std::size_t length);

inline bool parse(const unsigned char* data, std::uint64_t size, layout& out) {
    if (size < header_size) return false;
    std::uint64_t header = header_size;
    if (has_magic(data, magic_with_launch)) {
        if (size < header_size_with_launch) return false;
        header = header_size_with_launch;
    } else if (!has_magic(data, magic)) {
        return false;
    }
    out.block_offset = read_le(data + 8, 8);
    out.block_length = read_le(data + 16, 8);
    if (out.block_offset < header || out.block_offset > size ||
        out.block_length > size - out.block_offset) {
        return false;
    }
    for (std::size_t t = 0; t < text_count; ++t) {
        const std::uint64_t offset = read_le(data + 24 + 8 * t, 4);
        const std::uint64_t units = read_le(data + 28 + 8 * t, 4);
        // The text and its 0 unit lie between the header and the block.
        if (offset < header || offset % 2 != 0 || offset > out.block_offset ||
            units + 1 > (out.block_offset - offset) / 2) {
            return false;
        }
        if (read_le(data + offset + 2 * units, 2) != 0) return false;
        out.texts[t] = {static_cast<std::size_t>(offset), static_cast<std::size_t>(units)};
    }
    out.launch_offset = 0;
    out.launch_length = 0;
    if (header == header_size_with_launch) {
        const std::uint64_t launch_offset = read_le(data + 64, 4);
        const std::uint64_t launch_length = read_le(data + 68, 4);
        if (!is_area(launch_offset, launch_length, header, out.block_offset) ||
            !parse_launch(data, static_cast<std::size_t>(launch_offset),
                          static_cast<std::size_t>(launch_length))) {
            return false;
        }
        out.launch_offset = static_cast<std::size_t>(launch_offset);
        out.launch_length = static_cast<std::size_t>(launch_length);
    }
    const std::uint64_t index_offset = read_le(data + 56, 4);
    const std::uint64_t index_length = read_le(data + 60, 4);
    if (index_offset == 0 && index_length == 0) {
        out.index_offset = 0;
        out.index_length = 0;
        return true;
    }
    if (!is_area(index_offset, index_length, header, out.block_offset)) return false;
    out.index_offset = static_cast<std::size_t>(index_offset);
    out.index_length = static_cast<std::size_t>(index_length);
    return true;
}

// ---- The launch line.

constexpr std::uint32_t start_in_app_folder = 1;
constexpr std::uint32_t quick_check = 2;
constexpr unsigned kept_versions_shift = 16;
constexpr std::uint32_t max_kept_versions = 0xFFFF;
constexpr std::uint32_t known_flags =
    start_in_app_folder | quick_check | max_kept_versions << kept_versions_shift;
constexpr std::size_t launch_head_size = 12;

struct launch_line {
    std::uint32_t flags;
    std::uint32_t argument_count;
    std::uint32_t variable_count;
    std::size_t first_text;  // offset of the first text's length field
};

// The launch line of a parsed section (has_launch tells whether there is one).
inline launch_line read_launch(const unsigned char* data, const layout& l) {
    const unsigned char* head = data + l.launch_offset;
    return {static_cast<std::uint32_t>(read_le(head, 4)),
            static_cast<std::uint32_t>(read_le(head + 4, 4)),
            static_cast<std::uint32_t>(read_le(head + 8, 4)), l.launch_offset + launch_head_size};
}

// The text whose length field is at `cursor`, which then moves to the next
// one. Only for a launch line that parse has accepted.
inline text_view next_launch_text(const unsigned char* data, std::size_t& cursor) {
    const text_view t{cursor + 4, static_cast<std::size_t>(read_le(data + cursor, 4))};
    cursor = t.offset + 2 * (t.units + 1);
    return t;
}

// Every text lies inside the area, ends with its only 0 unit, and the last
// one ends the area; each variable has a name before its "="; no flag but
// the known ones is set.
inline bool parse_launch(const unsigned char* data, std::size_t offset, std::size_t length) {
    if (length < launch_head_size) return false;
    const unsigned char* head = data + offset;
    if ((read_le(head, 4) & ~std::uint64_t{known_flags}) != 0) return false;
    const std::uint64_t arguments = read_le(head + 4, 4);
    const std::uint64_t texts = arguments + read_le(head + 8, 4);
    const std::size_t end = offset + length;
    std::size_t cursor = offset + launch_head_size;
    for (std::uint64_t i = 0; i < texts; ++i) {
        if (end - cursor < 4) return false;
        const std::uint64_t units = read_le(data + cursor, 4);
        if (units + 1 > (end - cursor - 4) / 2) return false;
        const unsigned char* text = data + cursor + 4;
        bool named = false;
        for (std::uint64_t u = 0; u < units; ++u) {
            const std::uint64_t unit = read_le(text + 2 * u, 2);
            if (unit == 0) return false;
            if (i >= arguments && unit == '=' && !named) {
                if (u == 0) return false;
                named = true;
            }
        }
        if (read_le(text + 2 * units, 2) != 0 || (i >= arguments && !named)) return false;
        cursor += 4 + 2 * (static_cast<std::size_t>(units) + 1);
    }
    return cursor == end;
}

// Bytes of a launch line holding `count` texts of these lengths.
inline std::size_t launch_size(const std::size_t* units, std::size_t count) {
    std::size_t size = launch_head_size;
    for (std::size_t i = 0; i < count; ++i) size += 4 + 2 * (units[i] + 1);
    return size;
}

// Writes a launch line of launch_size(units, arguments + variables) bytes:
// the first `arguments` texts are fixed arguments, the rest variables.
inline void encode_launch(unsigned char* out, std::uint32_t flags, std::uint32_t arguments,
                          std::uint32_t variables, const char16_t* const* texts,
                          const std::size_t* units) {
    write_le(out, flags, 4);
    write_le(out + 4, arguments, 4);
    write_le(out + 8, variables, 4);
    std::size_t cursor = launch_head_size;
    for (std::size_t i = 0; i < std::size_t{arguments} + variables; ++i) {
        write_le(out + cursor, units[i], 4);
        for (std::size_t u = 0; u < units[i]; ++u)
            write_le(out + cursor + 4 + 2 * u, texts[i][u], 2);
        write_le(out + cursor + 4 + 2 * units[i], 0, 2);
        cursor += 4 + 2 * (units[i] + 1);
    }
}

// Size of the header and the texts, where the launch line starts.
inline std::uint64_t texts_end(const std::size_t (&units)[text_count],
                               std::uint64_t launch_length) {
    std::uint64_t end = launch_length == 0 ? header_size : header_size_with_launch;
    for (std::size_t t = 0; t < text_count; ++t) end += 2 * (units[t] + 1);
    return end;
}

inline std::uint64_t block_offset_for(const std::size_t (&units)[text_count],
                                      std::uint64_t index_length, std::uint64_t launch_length = 0) {
    const std::uint64_t end = texts_end(units, launch_length) + launch_length + index_length;
    return (end + block_alignment - 1) / block_alignment * block_alignment;
}

// Writes the header, the texts, the launch line (launch_length bytes from
// encode_launch, none when 0) and the index (index_length bytes, none when
// 0) into `out`, which holds block_offset_for(units, index_length,
// launch_length) bytes; the padding up to the block is zero.
inline void encode(unsigned char* out, const char16_t* const (&texts)[text_count],
                   const std::size_t (&units)[text_count], const unsigned char* index,
                   std::uint64_t index_length, std::uint64_t block_length,
                   const unsigned char* launch = nullptr, std::uint64_t launch_length = 0) {
    const std::uint64_t block_offset = block_offset_for(units, index_length, launch_length);
    for (std::uint64_t i = 0; i < block_offset; ++i) out[i] = 0;
    const char(&m)[8] = launch_length == 0 ? magic : magic_with_launch;
    for (std::size_t i = 0; i < sizeof m; ++i) out[i] = static_cast<unsigned char>(m[i]);
    write_le(out + 8, block_offset, 8);
    write_le(out + 16, block_length, 8);
    std::uint64_t offset = launch_length == 0 ? header_size : header_size_with_launch;
    for (std::size_t t = 0; t < text_count; ++t) {
        write_le(out + 24 + 8 * t, offset, 4);
        write_le(out + 28 + 8 * t, units[t], 4);
        for (std::size_t u = 0; u < units[t]; ++u) write_le(out + offset + 2 * u, texts[t][u], 2);
        offset += 2 * (units[t] + 1);
    }
    if (launch_length > 0) {
        write_le(out + 64, offset, 4);
        write_le(out + 68, launch_length, 4);
        for (std::uint64_t i = 0; i < launch_length; ++i) out[offset + i] = launch[i];
        offset += launch_length;
    }
    if (index_length > 0) {
        write_le(out + 56, offset, 4);
        write_le(out + 60, index_length, 4);
        for (std::uint64_t i = 0; i < index_length; ++i) out[offset + i] = index[i];
    }
}

}  // namespace values_section
