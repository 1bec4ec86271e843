// The entry stream of a payload block, read through any decoder: the one
// reader that the launcher, `fenwix list|verify|extract`, the packer's index
// builder, the fuzz targets and the tests all drive, so that no two of them
// can come to disagree on where an entry ends or what a block may hold.
//
// The decoder is the caller's glue (Zstandard over the mapped image in the
// launcher, over the file in the tool, plain bytes in tests): each call
// writes decoded bytes into a window the caller owns. This reader hands the
// stream out of that window: exact reads, one entry header at a time
// (format/entry_walk.h), and the check of how the stream ends.
//
// Pure and header-only, in the launcher's style: no allocation, no
// exception, no system call; every outcome is a value the caller acts on
// (the launcher ends with the decode failure, the tool names the fault).
#pragma once

#include "format/entry_walk.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace block_reader {

// What one decode call says besides the bytes it gave.
enum class decoded {
    going,      // more may come from another call
    frame_end,  // a frame ended with this call, its content checksum (if any) right
    exhausted,  // nothing came and nothing more will: the input is used up
    failed,     // the decoder refused its input; the glue keeps why
};

// The decoder: one call writes at most `capacity` bytes of the stream at
// `out` and sets `produced` to their number. After frame_end, a call goes
// on with whatever follows the frame, as the glue reads it. A call that says
// `going` has taken input or given output: the reader calls again at once.
struct decoder {
    decoded (*decode)(void* context, unsigned char* out, std::size_t capacity,
                      std::size_t& produced);
    void* context;
};

enum class result {
    ok,               // read: every byte asked for; next_entry: a header
    end,              // next_entry: the terminator, an empty name
    cut_short,        // the stream ended before what was asked for
    failed,           // the decoder refused its input
    name_too_long,    // next_entry: 1,024 units without a 0 unit
    after_end,        // finish, exact: bytes of the stream follow the terminator
    frame_cut_short,  // finish: the frame does not end where its input does
};

// One reader over one decoder; the fields are the reader's between calls.
struct reader {
    decoder source;
    unsigned char* window;  // the caller's, `capacity` bytes
    std::size_t capacity;
    std::size_t fill;  // bytes the last decode call gave
    std::size_t pos;   // of those, the ones handed out
    decoded last;      // what the last decode call said
};

inline void open(reader& r, decoder source, unsigned char* window, std::size_t capacity) {
    r.source = source;
    r.window = window;
    r.capacity = capacity;
    r.fill = 0;  // starts empty: the first read decodes at once
    r.pos = 0;
    r.last = decoded::going;
}

// One decode call into the emptied window. A failed or used-up decoder is
// not called again: its answer would not change.
inline result refill(reader& r) {
    if (r.last == decoded::failed) return result::failed;
    if (r.last == decoded::exhausted) return result::cut_short;
    std::size_t produced = 0;
    r.last = r.source.decode(r.source.context, r.window, r.capacity, produced);
    r.pos = 0;
    r.fill = r.last == decoded::failed ? 0 : produced;
    if (r.last == decoded::failed) return result::failed;
    if (r.fill == 0 && r.last == decoded::exhausted) return result::cut_short;
    return result::ok;  // also when nothing came: a header may have been consumed
}

// Exactly `count` bytes of the stream into `out`, or why not.
inline result read(reader& r, void* out, std::uint64_t count) {
    unsigned char* to = static_cast<unsigned char*>(out);
    while (count > 0) {
        const std::size_t available = r.fill - r.pos;
        if (available == 0) {
            const result refilled = refill(r);
            if (refilled != result::ok) return refilled;
            continue;
        }
        const std::size_t take = count < available ? static_cast<std::size_t>(count) : available;
        std::memcpy(to, r.window + r.pos, take);
        r.pos += take;
        to += take;
        count -= take;
    }
    return result::ok;
}

// The next entry's header: ok with its name in `name`
// (payload_format::name_buffer_units units, terminated) and its fields in
// `out`, whose `problem` is the name rule's verdict for the caller to act
// on; or end at the terminator; or why the header cannot be read.
template <typename Unit>
result next_entry(reader& r, Unit* name, entry_walk::fields& out) {
    result stopped = result::ok;
    const auto read_exact = [&](unsigned char* to, std::size_t n) {
        stopped = read(r, to, n);
        return stopped == result::ok;
    };
    switch (entry_walk::next(read_exact, name, out)) {
        case entry_walk::step::entry:
            return result::ok;
        case entry_walk::step::end:
            return result::end;
        case entry_walk::step::name_too_long:
            return result::name_too_long;
        case entry_walk::step::stopped:
            break;
    }
    return stopped;
}

// After the terminator. `exact` (the tool's rule): the frame must end right
// there, nothing decoded after it. `drop_rest` (the launcher's, as it has
// always read): whatever the frame holds after the terminator is decoded
// and dropped. Either way the frame must end, so its content checksum is
// checked.
enum class end_rule { exact, drop_rest };

inline result finish(reader& r, end_rule rule) {
    if (rule == end_rule::exact && r.pos < r.fill) return result::after_end;
    r.pos = r.fill;
    while (r.last != decoded::frame_end) {
        if (r.last == decoded::failed) return result::failed;
        if (r.last == decoded::exhausted) return result::frame_cut_short;
        const result refilled = refill(r);
        if (refilled == result::failed) return refilled;
        if (rule == end_rule::exact && r.fill > 0) return result::after_end;
        r.pos = r.fill;
    }
    r.fill = 0;
    r.pos = 0;
    return result::ok;
}

}  // namespace block_reader
