// The entry stream as the index lays it out, so that each frame of a block
// can be decoded on its own: where every entry's header and data lie in the
// stream, which frame holds a given offset, and the walk over one frame's
// decoded bytes that checks each header byte against the index and hands
// out the pieces of data with the entry and the offset they belong to.
//
// The index holds exactly the header bytes of the stream (name, 0 unit,
// size, checksum), so a frame decoded alone can be checked byte for byte
// without reading the frames before it. The data the walk hands out still
// count only once the entry's checksum, combined over all its pieces,
// matches.
//
// Pure and header-only: no allocation, no system call. The caller owns the
// arrays.
#pragma once

#include "format/index.h"

#include <cstddef>
#include <cstdint>

namespace frame_walk {

constexpr std::uint64_t terminator_size = 2;

// Header bytes of an entry in the stream: its name units, the 0 unit, the
// u64 size and the u32 checksum.
inline std::uint64_t header_size(const payload_index::entry& e) { return 2 * e.units + 2 + 12; }

// The stream: `starts[i]` is where entry i's header begins, and
// `starts[count]` where the terminator does.
struct layout {
    const payload_index::entry* entries;
    std::size_t count;
    const std::uint64_t* starts;  // count + 1 offsets
};

// Fills `starts` (count + 1 offsets); false when the sizes overflow.
inline bool lay_out(const payload_index::entry* entries, std::size_t count, std::uint64_t* starts) {
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        starts[i] = at;
        const std::uint64_t step = header_size(entries[i]) + entries[i].size;
        if (entries[i].size > UINT64_MAX - header_size(entries[i]) || at > UINT64_MAX - step) {
            return false;
        }
        at += step;
    }
    if (at > UINT64_MAX - terminator_size) return false;
    starts[count] = at;
    return true;
}

inline std::uint64_t data_start(const layout& map, std::size_t i) {
    return map.starts[i] + header_size(map.entries[i]);
}
inline std::uint64_t stream_length(const layout& map) {
    return map.starts[map.count] + terminator_size;
}

// The entry whose header or data hold `offset`; `count` for the terminator
// and beyond.
inline std::size_t entry_at(const layout& map, std::uint64_t offset) {
    std::size_t low = 0, high = map.count;  // the answer lies in [low, high]
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (map.starts[mid + 1] <= offset) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// The frame whose content holds stream `offset`: the last one that begins
// at or before it (an empty frame holds nothing, so the one after it wins).
// `table` is a frame table found well formed, with `frames` frames.
inline std::size_t frame_at(const unsigned char* table, std::size_t frames, std::uint64_t offset) {
    std::size_t low = 0, high = frames - 1;
    while (low < high) {
        const std::size_t mid = low + (high - low + 1) / 2;
        if (payload_index::frame_at(table, mid).stream_offset <= offset) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return low;
}

// The walk over one frame's content, fed as it is decoded.
struct walk {
    const layout* map;
    std::uint64_t pos;  // stream offset of the next byte
    std::uint64_t end;  // where the frame's content ends; UINT64_MAX for the last frame
    std::size_t entry;  // the entry (or the terminator, at count) holding pos
};

inline void begin(walk& w, const layout& map, std::uint64_t frame_begin, std::uint64_t frame_end) {
    w.map = &map;
    w.pos = frame_begin;
    w.end = frame_end;
    w.entry = entry_at(map, frame_begin);
}

enum class fed {
    ok,
    header_differs,  // a header byte is not the index's, or the terminator is not zero
    past_end,        // the frame holds more than the table gives it
};

// Walks `n` decoded bytes: header bytes are compared with the index, data
// bytes go to on_data(entry, offset in the entry, bytes, count), which
// returns false to stop the walk (its own failure; fed::ok is returned).
// In the last frame, whatever follows the terminator is dropped.
template <typename OnData>
fed feed(walk& w, const unsigned char* bytes, std::size_t n, OnData&& on_data) {
    const layout& map = *w.map;
    const std::uint64_t stream_end = stream_length(map);
    while (n > 0) {
        if (w.pos >= w.end || n > w.end - w.pos) return fed::past_end;
        if (w.pos >= stream_end) return fed::ok;  // after the terminator: dropped
        if (w.entry == map.count) {               // the terminator
            const std::uint64_t left = stream_end - w.pos;
            const std::size_t take = n < left ? n : static_cast<std::size_t>(left);
            for (std::size_t i = 0; i < take; ++i) {
                if (bytes[i] != 0) return fed::header_differs;
            }
            w.pos += take;
            bytes += take;
            n -= take;
            continue;
        }
        const payload_index::entry& e = map.entries[w.entry];
        const std::uint64_t data = data_start(map, w.entry);
        if (w.pos < data) {  // the header: the index holds the same bytes
            const std::uint64_t at = w.pos - map.starts[w.entry];
            const std::uint64_t left = data - w.pos;
            const std::size_t take = n < left ? n : static_cast<std::size_t>(left);
            for (std::size_t i = 0; i < take; ++i) {
                if (bytes[i] != e.name[at + i]) return fed::header_differs;
            }
            w.pos += take;
            bytes += take;
            n -= take;
        } else {
            const std::uint64_t next = map.starts[w.entry + 1];
            const std::uint64_t left = next - w.pos;
            const std::size_t take = n < left ? n : static_cast<std::size_t>(left);
            if (take > 0 && !on_data(w.entry, w.pos - data, bytes, take)) return fed::ok;
            w.pos += take;
            bytes += take;
            n -= take;
        }
        if (w.pos == map.starts[w.entry + 1]) ++w.entry;
    }
    return fed::ok;
}

// At the frame's end: whether its content ended where the table says (the
// last frame: not before the terminator's end).
inline bool ended_right(const walk& w) {
    return w.end == UINT64_MAX ? w.pos >= stream_length(*w.map) : w.pos == w.end;
}

}  // namespace frame_walk
