// What the main thread and the threads that unpack a block's frames share
// (frame_unpack.cpp runs the main thread's part, frame_stages.cpp the
// threads'): one state, set up by the main thread before any thread starts.
#pragma once

#include "format/frame_walk.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace frame_state {

constexpr std::size_t close_ring_size = 256;

enum failure_kind : LONG { no_failure = 0, decode_failed, write_failed, open_failed };

// What the main sequence asked for (see frame_unpack_job).
struct job_view {
    const unsigned char* block;
    std::uint64_t block_length;
    const wchar_t* folder;
    const unsigned char* to_write;
};

struct unpacking {
    job_view job;
    frame_walk::layout map;
    std::uint64_t* starts;       // heap, count + 1
    const unsigned char* table;  // the index's frame table
    std::size_t frames;
    unsigned char* frame_needed;  // heap, one per frame
    std::uint32_t* head_crc;      // heap, per frame: its piece of an entry begun before it
    std::uint32_t* tail_crc;      // heap, per frame: its piece of an entry going on after it
    HANDLE volatile* handles;     // heap, per entry: open until written and checked
    volatile LONG* pieces_left;   // heap, per entry
    volatile LONG64 next_frame;
    volatile LONG64 opened;    // entries [0, opened) have their handle, if any
    volatile LONG64 consumed;  // compressed bytes taken
    volatile LONG failed;      // a failure_kind once claimed
    volatile LONG failure_claimed;
    std::size_t failed_entry;
    DWORD failed_code;
    SRWLOCK lock;  // guards waits on `opened` and the close ring
    CONDITION_VARIABLE opened_more;
    CONDITION_VARIABLE to_close;
    HANDLE close_ring[close_ring_size];
    std::size_t close_head, close_count;
    bool closing_done;
};

extern unpacking u;

// The first failure wins; the others are what it caused. Wakes every
// thread that waits for a file.
void claim_failure(failure_kind kind, std::size_t entry, DWORD code);
inline bool failing() { return u.failed != no_failure; }

inline std::uint64_t data_end(std::size_t e) { return u.map.starts[e + 1]; }
// Frame f's content: [stream_begin(f), stream_begin(f + 1)).
inline std::uint64_t stream_begin(std::size_t f) {
    return f < u.frames ? payload_index::frame_at(u.table, f).stream_offset
                        : frame_walk::stream_length(u.map);
}
// The bytes of entry e in frame f.
std::uint64_t piece_length(std::size_t e, std::size_t f);
// The frames that hold entry e's data (of at least one byte).
std::size_t first_frame_of(std::size_t e);
std::size_t last_frame_of(std::size_t e);

// Entry e is written whole: its checksum, combined over its pieces in
// stream order, decides whether the file counts; a file that does goes to
// the closing threads.
void finish_entry(std::size_t e, std::uint32_t crc);

// The threads: each decoder (with its writer) takes frames until none is
// left; the closers close checked files until closing_done.
DWORD WINAPI decode_thread(void*);
DWORD WINAPI close_thread(void*);

}  // namespace frame_state
