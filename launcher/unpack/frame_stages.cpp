// The threads that unpack a block's frames. Each decoding thread has a
// writing thread of its own, with a few buffers going round between them:
// the decoder fills one with decoded bytes, walks them (every header byte
// compared with the index) and lists the pieces of the files to write; the
// writer writes those pieces where they belong and sums them, while the
// decoder fills the next buffer. So decoding waits neither for the disk nor
// for the main thread making the files, and writing never for the decoder
// while a buffer is full. A file whose last piece is written and whose
// checksum matches goes to the closing threads.
#include "launcher/unpack/frame_state.h"

#include "launcher/base/errors.h"
#include "launcher/unpack/checksum.h"
#include "format/block.h"

#include <zstd.h>

#include <cstdlib>

namespace frame_state {

unpacking u;

namespace {

constexpr SIZE_T writer_stack = 64 * 1024;
// Decoded bytes per buffer, and buffers per decoder. Every entry's header
// takes at least 16 bytes, so a buffer holds pieces of at most
// buffer_size / 16 + 1 entries, and one more item ends a frame.
constexpr std::size_t buffer_size = 512 * 1024;
constexpr std::size_t buffers = 3;
constexpr std::size_t items_per_buffer = buffer_size / 16 + 2;

// A piece of an entry to write, or (entry == frame_end) the end of the
// frame, after which a piece going on in the next frame is summed up.
constexpr std::size_t frame_end = SIZE_MAX;
struct write_item {
    std::size_t entry;
    std::uint64_t offset;  // in the entry's file
    const unsigned char* bytes;
    std::size_t count;
};

struct buffer {
    unsigned char* bytes;
    write_item* items;
    std::size_t count;
    std::size_t frame;  // the frame the bytes come from
    bool last;          // no more buffers come: the writer ends
};

// One decoder and its writer.
struct stage {
    ZSTD_DCtx* context;
    buffer ring[buffers];
    // Buffers go round under a slim lock rather than semaphores: a wait or
    // a wake on a kernel object costs a round trip to Wine's server, and a
    // cold start passes one for every 512 KiB it writes.
    SRWLOCK ring_lock;
    CONDITION_VARIABLE has_free;  // the decoder may fill a buffer
    CONDITION_VARIABLE has_full;  // the writer may write one
    std::size_t full;             // buffers filled and not yet written
    std::size_t filling;          // the decoder's buffer
    // The writer's piece in progress.
    std::size_t entry;  // SIZE_MAX: none
    std::uint32_t crc;
};

// The handle of entry e once the main thread has made its file; nullptr
// when unpacking stops first.
HANDLE wait_for_file(std::size_t e) {
    if (static_cast<std::uint64_t>(u.opened) <= e) {
        AcquireSRWLockExclusive(&u.lock);
        while (static_cast<std::uint64_t>(u.opened) <= e && !failing()) {
            SleepConditionVariableSRW(&u.opened_more, &u.lock, INFINITE, 0);
        }
        ReleaseSRWLockExclusive(&u.lock);
    }
    return failing() ? nullptr : u.handles[e];
}

// A checked file goes to the closing threads, or is closed here when they
// are behind.
void hand_to_close(HANDLE file) {
    AcquireSRWLockExclusive(&u.lock);
    const bool queued = u.close_count < close_ring_size;
    if (queued) {
        u.close_ring[(u.close_head + u.close_count) % close_ring_size] = file;
        ++u.close_count;
    }
    ReleaseSRWLockExclusive(&u.lock);
    if (queued) {
        WakeConditionVariable(&u.to_close);
    } else {
        CloseHandle(file);
    }
}

// One piece of entry e, from frame f, is written.
void piece_done(std::size_t e, std::size_t f, std::uint32_t crc) {
    const std::size_t first = first_frame_of(e);
    const std::size_t last = last_frame_of(e);
    if (first == last) {
        finish_entry(e, crc);
        return;
    }
    (f == first ? u.tail_crc : u.head_crc)[f] = crc;
    if (InterlockedDecrement(&u.pieces_left[e]) != 0) return;
    std::uint32_t whole = u.tail_crc[first];
    for (std::size_t g = first + 1; g <= last; ++g) {
        const std::uint64_t length = piece_length(e, g);
        if (length == 0) continue;  // an empty frame
        whole = checksum_combine(whole, u.head_crc[g], length);
    }
    finish_entry(e, whole);
}

void write_one(stage& s, const write_item& item, std::size_t frame) {
    if (item.entry == frame_end) {
        if (s.entry != SIZE_MAX) piece_done(s.entry, frame, s.crc);
        s.entry = SIZE_MAX;
        return;
    }
    if (s.entry != item.entry) {
        s.entry = item.entry;
        s.crc = 0;
    }
    const HANDLE file = wait_for_file(item.entry);
    if (file == nullptr) return;
    s.crc = checksum_update(s.crc, item.bytes, item.count);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(item.offset);
    at.OffsetHigh = static_cast<DWORD>(item.offset >> 32);
    DWORD written = 0;
    if (!WriteFile(file, item.bytes, static_cast<DWORD>(item.count), &written, &at)) {
        claim_failure(write_failed, item.entry, GetLastError());
        return;
    }
    if (written != item.count) {  // no more room: Wine says so this way
        claim_failure(write_failed, item.entry, ERROR_DISK_FULL);
        return;
    }
    if (item.offset + item.count == u.map.entries[item.entry].size) {
        s.entry = SIZE_MAX;
        piece_done(item.entry, frame, s.crc);
    }
}

DWORD WINAPI write_thread(void* context) {
    stage& s = *static_cast<stage*>(context);
    s.entry = SIZE_MAX;
    for (std::size_t next = 0;; next = (next + 1) % buffers) {
        AcquireSRWLockExclusive(&s.ring_lock);
        while (s.full == 0) SleepConditionVariableSRW(&s.has_full, &s.ring_lock, INFINITE, 0);
        ReleaseSRWLockExclusive(&s.ring_lock);
        buffer& b = s.ring[next];
        if (b.last) return 0;
        // After a failure the buffers still go round, unwritten, so that
        // the decoder is never left waiting.
        for (std::size_t i = 0; i < b.count && !failing(); ++i) write_one(s, b.items[i], b.frame);
        AcquireSRWLockExclusive(&s.ring_lock);
        --s.full;
        ReleaseSRWLockExclusive(&s.ring_lock);
        WakeConditionVariable(&s.has_free);
    }
}

buffer& take_buffer(stage& s) {
    AcquireSRWLockExclusive(&s.ring_lock);
    while (s.full == buffers) SleepConditionVariableSRW(&s.has_free, &s.ring_lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&s.ring_lock);
    buffer& b = s.ring[s.filling];
    b.count = 0;
    b.last = false;
    return b;
}

void pass_buffer(stage& s) {
    s.filling = (s.filling + 1) % buffers;
    AcquireSRWLockExclusive(&s.ring_lock);
    ++s.full;
    ReleaseSRWLockExclusive(&s.ring_lock);
    WakeConditionVariable(&s.has_full);
}

// Decodes frame f alone and hands the writer what it holds; false when
// unpacking stops.
bool decode_frame(stage& s, std::size_t f) {
    const payload_index::frame at = payload_index::frame_at(u.table, f);
    const std::uint64_t input_end = f + 1 < u.frames
                                        ? payload_index::frame_at(u.table, f + 1).block_offset
                                        : u.job.block_length;
    ZSTD_DCtx_reset(s.context, ZSTD_reset_session_only);
    ZSTD_inBuffer input{u.job.block + at.block_offset,
                        static_cast<std::size_t>(input_end - at.block_offset), 0};
    frame_walk::walk walk;
    frame_walk::begin(walk, u.map, at.stream_offset,
                      f + 1 < u.frames ? stream_begin(f + 1) : UINT64_MAX);
    for (;;) {
        if (failing()) return false;
        buffer& b = take_buffer(s);
        b.frame = f;
        ZSTD_outBuffer output{b.bytes, buffer_size, 0};
        const std::size_t before = input.pos;
        const std::size_t left = ZSTD_decompressStream(s.context, &output, &input);
        InterlockedExchangeAdd64(&u.consumed, static_cast<LONG64>(input.pos - before));
        const bool decoded = !ZSTD_isError(left) &&
                             frame_walk::feed(walk, b.bytes, output.pos,
                                              [&](std::size_t e, std::uint64_t offset,
                                                  const unsigned char* bytes, std::size_t n) {
                                                  if (u.job.to_write[e])
                                                      b.items[b.count++] = {e, offset, bytes, n};
                                                  return true;
                                              }) == frame_walk::fed::ok;
        // The frame ends where the table says, in the block and in the
        // stream; else it is cut short, or goes on past its end.
        const bool ended = decoded && left == 0;
        const bool right = decoded && (ended ? (f + 1 == u.frames || input.pos == input.size) &&
                                                   frame_walk::ended_right(walk)
                                             : input.pos < input.size || output.pos == buffer_size);
        if (ended && right) b.items[b.count++] = {frame_end, 0, nullptr, 0};
        pass_buffer(s);
        if (!right) {
            claim_failure(decode_failed, SIZE_MAX, 0);
            return false;
        }
        if (ended) return true;
    }
}

bool open_stage(stage& s) {
    s.context = ZSTD_createDCtx();
    if (s.context == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(s.context, ZSTD_d_windowLogMax,
                                            payload_format::frame_window_log))) {
        return false;
    }
    for (buffer& b : s.ring) {
        b.bytes = static_cast<unsigned char*>(malloc(buffer_size));
        b.items = static_cast<write_item*>(malloc(items_per_buffer * sizeof(write_item)));
        if (b.bytes == nullptr || b.items == nullptr) return false;
    }
    InitializeSRWLock(&s.ring_lock);
    InitializeConditionVariable(&s.has_free);
    InitializeConditionVariable(&s.has_full);
    s.full = 0;
    return true;
}

void close_stage(stage& s) {
    ZSTD_freeDCtx(s.context);
    for (buffer& b : s.ring) {
        free(b.bytes);
        free(b.items);
    }
}

}  // namespace

void claim_failure(failure_kind kind, std::size_t entry, DWORD code) {
    if (InterlockedCompareExchange(&u.failure_claimed, 1, 0) == 0) {
        u.failed_entry = entry;
        u.failed_code = code;
        InterlockedExchange(&u.failed, kind);
    }
    AcquireSRWLockExclusive(&u.lock);
    ReleaseSRWLockExclusive(&u.lock);
    WakeAllConditionVariable(&u.opened_more);
}

std::uint64_t piece_length(std::size_t e, std::size_t f) {
    const std::uint64_t begin = frame_walk::data_start(u.map, e);
    const std::uint64_t from = begin > stream_begin(f) ? begin : stream_begin(f);
    const std::uint64_t end = data_end(e);
    const std::uint64_t to = end < stream_begin(f + 1) ? end : stream_begin(f + 1);
    return to > from ? to - from : 0;
}

std::size_t first_frame_of(std::size_t e) {
    return frame_walk::frame_at(u.table, u.frames, frame_walk::data_start(u.map, e));
}

std::size_t last_frame_of(std::size_t e) {
    return frame_walk::frame_at(u.table, u.frames, data_end(e) - 1);
}

void finish_entry(std::size_t e, std::uint32_t crc) {
    HANDLE file = InterlockedExchangePointer(const_cast<HANDLE*>(&u.handles[e]), nullptr);
    if (payload_format::entry_checksum_from_crc(crc) != u.map.entries[e].checksum) {
        // Left for the main thread to remove with the others not finished.
        InterlockedExchangePointer(const_cast<HANDLE*>(&u.handles[e]), file);
        claim_failure(decode_failed, e, 0);
        return;
    }
    hand_to_close(file);
}

DWORD WINAPI close_thread(void*) {
    AcquireSRWLockExclusive(&u.lock);
    for (;;) {
        while (u.close_count == 0 && !u.closing_done) {
            SleepConditionVariableSRW(&u.to_close, &u.lock, INFINITE, 0);
        }
        if (u.close_count == 0) break;
        const HANDLE file = u.close_ring[u.close_head];
        u.close_head = (u.close_head + 1) % close_ring_size;
        --u.close_count;
        ReleaseSRWLockExclusive(&u.lock);
        CloseHandle(file);
        AcquireSRWLockExclusive(&u.lock);
    }
    ReleaseSRWLockExclusive(&u.lock);
    return 0;
}

DWORD WINAPI decode_thread(void*) {
    guard_block_reads_here();
    stage s{};
    HANDLE writer = nullptr;
    if (!open_stage(s) ||
        (writer = CreateThread(nullptr, writer_stack, write_thread, &s,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)) == nullptr) {
        claim_failure(decode_failed, SIZE_MAX, 0);
    }
    while (!failing()) {
        const std::size_t f = static_cast<std::size_t>(InterlockedIncrement64(&u.next_frame) - 1);
        if (f >= u.frames) break;
        if (u.frame_needed[f] && !decode_frame(s, f)) break;
    }
    if (writer != nullptr) {
        take_buffer(s).last = true;
        pass_buffer(s);
        WaitForSingleObject(writer, INFINITE);
        CloseHandle(writer);
    }
    close_stage(s);
    return 0;
}

}  // namespace frame_state
