// The index a launcher may carry beside its block: every entry's name, size
// and stored checksum, in stream order, written by the builder from the
// entries it packs. With it, a start whose files are all right on disk
// checks them and never decodes the block.
//
// Layout, all integers little-endian: per entry, the bytes that precede the
// entry's data in the stream (name UTF-16LE units, a 0 unit, u64 size, u32
// checksum); then one 0 unit; then the frame table: u32 count, and per frame
// of the block, in block order, u64 offset of its first byte in the block and
// u64 offset in the entry stream where its content begins. The first frame
// starts at block offset 3 and stream offset 0; block offsets rise, stream
// offsets never fall. An index written for a one-frame block before frames
// were recorded ends at the terminator: it reads as no table.
//
// Pure and header-only: the launcher, the builder and `fenwix verify` walk it
// the same way.
#pragma once

#include "format/block.h"
#include "format/names.h"

#include <cstddef>
#include <cstdint>

namespace payload_index {

// One entry of the index, pointing into the index bytes.
struct entry {
    const unsigned char* name;  // `units` UTF-16LE units, unaligned
    std::size_t units;
    std::uint64_t size;
    std::uint32_t checksum;
};

// Unit u of an entry's name.
inline unsigned name_unit(const entry& e, std::size_t u) {
    return static_cast<unsigned>(payload_format::read_le(e.name + 2 * u, 2));
}

// Where one frame of the block begins.
struct frame {
    std::uint64_t block_offset;   // of its first byte, from the block's "QJX"
    std::uint64_t stream_offset;  // of its first content byte in the entry stream
};

constexpr std::size_t frame_count_size = 4;
constexpr std::size_t frame_record_size = 16;

// Frame i of a table whose `table` bytes were found well formed.
inline frame frame_at(const unsigned char* table, std::size_t i) {
    const unsigned char* at = table + frame_count_size + frame_record_size * i;
    return frame{payload_format::get_u64_le(at), payload_format::get_u64_le(at + 8)};
}

// The number of frames in the `length` bytes after the terminator: 0 for
// none (an older index), -1 when they are not a well-formed table.
inline long long frame_count(const unsigned char* table, std::size_t length) {
    if (length == 0) return 0;
    if (length < frame_count_size) return -1;
    const std::uint64_t count = payload_format::get_u32_le(table);
    if (count == 0 || (length - frame_count_size) / frame_record_size != count ||
        (length - frame_count_size) % frame_record_size != 0) {
        return -1;
    }
    frame before = frame_at(table, 0);
    if (before.block_offset != payload_format::magic_size || before.stream_offset != 0) return -1;
    for (std::size_t i = 1; i < count; ++i) {
        const frame f = frame_at(table, i);
        if (f.block_offset <= before.block_offset || f.stream_offset < before.stream_offset) {
            return -1;
        }
        before = f;
    }
    return static_cast<long long>(count);
}

enum class step { entry, end, bad };

// Reads the entry at `pos` of the `length` index bytes and moves `pos` past
// it. `end` is the terminator, followed by nothing or by a well-formed frame
// table; `pos` is then past the terminator, at the table. `bad` is anything
// else: an entry cut short, a name of more than 1,023 units or one the
// launcher would refuse, or bytes after the terminator that are no table.
inline step next(const unsigned char* index, std::size_t length, std::size_t& pos, entry& out) {
    std::size_t units = 0;
    for (;;) {
        const std::size_t at = pos + 2 * units;
        if (at > length || length - at < 2) return step::bad;
        if ((index[at] | index[at + 1]) == 0) break;
        if (units == payload_format::max_name_units) return step::bad;
        ++units;
    }
    if (units == 0) {
        if (frame_count(index + pos + 2, length - pos - 2) < 0) return step::bad;
        pos += 2;
        return step::end;
    }
    // The name rule works on units; copy them out of the unaligned bytes.
    wchar_t name[payload_format::max_name_units];
    for (std::size_t u = 0; u < units; ++u) {
        name[u] = static_cast<wchar_t>(payload_format::read_le(index + pos + 2 * u, 2));
    }
    if (entry_names::check(name, units) != entry_names::problem::none) return step::bad;
    const std::size_t fields = pos + 2 * units + 2;
    if (length - fields < 12) return step::bad;
    out.name = index + pos;
    out.units = units;
    out.size = payload_format::get_u64_le(index + fields);
    out.checksum = payload_format::get_u32_le(index + fields + 8);
    pos = fields + 12;
    return step::entry;
}

// The number of entries, or -1 when the index is not well formed.
inline long long count_entries(const unsigned char* index, std::size_t length) {
    long long count = 0;
    std::size_t pos = 0;
    entry e;
    for (;;) {
        switch (next(index, length, pos, e)) {
            case step::entry:
                ++count;
                break;
            case step::end:
                return count;
            case step::bad:
                return -1;
        }
    }
}

}  // namespace payload_index
