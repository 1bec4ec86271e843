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
//   64            the four texts, each UTF-16LE with a 0 unit after its length
//   then          the index, when there is one (format/index.h)
//   block offset  the payload block, L bytes ("QJX", frame, zero field, trailer)
//
// Each text starts at an even offset and its 0 unit lies inside the section;
// the index starts at an even offset and ends before the block; the block
// lies inside the section too. A section that breaks any of these rules is
// not a values section.
#pragma once

#include "format/block.h"

#include <cstddef>
#include <cstdint>

namespace values_section {

// Section names are at most 8 bytes; this one is padded with zeros.
constexpr char section_name[8] = {'.', 'f', 'e', 'n', 'w', 'i', 'x', '\0'};
constexpr char magic[8] = {'F', 'W', 'X', 'V', 'A', 'L', 'S', '1'};
constexpr std::size_t header_size = 64;
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
    std::uint64_t block_offset;
    std::uint64_t block_length;
};

using payload_format::read_le;
using payload_format::write_le;

// Reads and checks the header of a section of `size` bytes at `data`. Only
// the first header_size bytes and the texts are looked at; the block is not.
inline bool parse(const unsigned char* data, std::uint64_t size, layout& out) {
    if (size < header_size) return false;
    for (std::size_t i = 0; i < sizeof magic; ++i) {
        if (data[i] != static_cast<unsigned char>(magic[i])) return false;
    }
    out.block_offset = read_le(data + 8, 8);
    out.block_length = read_le(data + 16, 8);
    if (out.block_offset < header_size || out.block_offset > size ||
        out.block_length > size - out.block_offset) {
        return false;
    }
    for (std::size_t t = 0; t < text_count; ++t) {
        const std::uint64_t offset = read_le(data + 24 + 8 * t, 4);
        const std::uint64_t units = read_le(data + 28 + 8 * t, 4);
        // The text and its 0 unit lie between the header and the block.
        if (offset < header_size || offset % 2 != 0 || offset > out.block_offset ||
            units + 1 > (out.block_offset - offset) / 2) {
            return false;
        }
        if (read_le(data + offset + 2 * units, 2) != 0) return false;
        out.texts[t] = {static_cast<std::size_t>(offset), static_cast<std::size_t>(units)};
    }
    const std::uint64_t index_offset = read_le(data + 56, 4);
    const std::uint64_t index_length = read_le(data + 60, 4);
    if (index_offset == 0 && index_length == 0) {
        out.index_offset = 0;
        out.index_length = 0;
        return true;
    }
    if (index_offset < header_size || index_offset % 2 != 0 || index_offset > out.block_offset ||
        index_length > out.block_offset - index_offset) {
        return false;
    }
    out.index_offset = static_cast<std::size_t>(index_offset);
    out.index_length = static_cast<std::size_t>(index_length);
    return true;
}

// Size of the header and the texts, where the index starts.
inline std::uint64_t texts_end(const std::size_t (&units)[text_count]) {
    std::uint64_t end = header_size;
    for (std::size_t t = 0; t < text_count; ++t) end += 2 * (units[t] + 1);
    return end;
}

inline std::uint64_t block_offset_for(const std::size_t (&units)[text_count],
                                      std::uint64_t index_length) {
    const std::uint64_t end = texts_end(units) + index_length;
    return (end + block_alignment - 1) / block_alignment * block_alignment;
}

// Writes the header, the texts and the index (index_length bytes, none when
// 0) into `out`, which holds block_offset_for(units, index_length) bytes;
// the padding up to the block is zero.
inline void encode(unsigned char* out, const char16_t* const (&texts)[text_count],
                   const std::size_t (&units)[text_count], const unsigned char* index,
                   std::uint64_t index_length, std::uint64_t block_length) {
    const std::uint64_t block_offset = block_offset_for(units, index_length);
    for (std::uint64_t i = 0; i < block_offset; ++i) out[i] = 0;
    for (std::size_t i = 0; i < sizeof magic; ++i) out[i] = static_cast<unsigned char>(magic[i]);
    write_le(out + 8, block_offset, 8);
    write_le(out + 16, block_length, 8);
    std::uint64_t offset = header_size;
    for (std::size_t t = 0; t < text_count; ++t) {
        write_le(out + 24 + 8 * t, offset, 4);
        write_le(out + 28 + 8 * t, units[t], 4);
        for (std::size_t u = 0; u < units[t]; ++u) write_le(out + offset + 2 * u, texts[t][u], 2);
        offset += 2 * (units[t] + 1);
    }
    if (index_length > 0) {
        write_le(out + 56, offset, 4);
        write_le(out + 60, index_length, 4);
        for (std::uint64_t i = 0; i < index_length; ++i) out[offset + i] = index[i];
    }
}

}  // namespace values_section
