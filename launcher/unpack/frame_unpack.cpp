#include "launcher/unpack/frame_unpack.h"

#include "launcher/base/errors.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/trace.h"
#include "launcher/windowed.h"
#include "launcher/unpack/checksum.h"
#include "launcher/unpack/confine.h"
#include "format/block.h"
#include "format/frame_walk.h"

#include <windows.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdlib>
#include <cwchar>

namespace {

constexpr SIZE_T worker_stack = 256 * 1024;
constexpr std::size_t output_size = 1024 * 1024;  // each worker's decoded bytes at a time
constexpr unsigned close_threads = 2;
constexpr std::uint64_t final_size_from = 1024 * 1024;
constexpr std::size_t close_ring_size = 256;

enum failure_kind : LONG { no_failure = 0, decode_failed, write_failed, open_failed };

// The one unpacking of the process; everything but the arrays' contents is
// set by the main thread before the workers start.
struct unpacking {
    frame_unpack_job job;
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

unpacking u;

void* zeroed(std::size_t count, std::size_t size) {
    void* p = calloc(count == 0 ? 1 : count, size);
    if (p == nullptr) fail_alloc();
    return p;
}

// The first failure wins; the others are what it caused.
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

bool failing() { return u.failed != no_failure; }

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

std::uint64_t data_end(std::size_t e) { return u.map.starts[e + 1]; }

// Frame f's content: [stream_begin(f), stream_begin(f + 1)).
std::uint64_t stream_begin(std::size_t f) {
    return f < u.frames ? payload_index::frame_at(u.table, f).stream_offset
                        : frame_walk::stream_length(u.map);
}

// The bytes of entry e in frame f.
std::uint64_t piece_length(std::size_t e, std::size_t f) {
    const std::uint64_t begin = frame_walk::data_start(u.map, e);
    const std::uint64_t from = begin > stream_begin(f) ? begin : stream_begin(f);
    const std::uint64_t end = data_end(e);
    const std::uint64_t to = end < stream_begin(f + 1) ? end : stream_begin(f + 1);
    return to - from;
}

// Entry e is written whole: its checksum, combined over its pieces in
// stream order, decides whether the file counts.
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

// One piece of entry e, decoded from frame f, has been written.
void piece_done(std::size_t e, std::size_t f, std::uint32_t crc) {
    const std::uint64_t begin = frame_walk::data_start(u.map, e);
    const std::size_t first = frame_walk::frame_at(u.table, u.frames, begin);
    const std::size_t last = frame_walk::frame_at(u.table, u.frames, data_end(e) - 1);
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
        // frames_usable saw to it that every frame's length fits z_off_t.
        whole = static_cast<std::uint32_t>(
            crc32_combine(whole, u.head_crc[g], static_cast<z_off_t>(length)));
    }
    finish_entry(e, whole);
}

// One worker's state over the frame it decodes.
struct worker {
    ZSTD_DCtx* context;
    unsigned char* output;
    std::size_t frame;
    std::size_t entry;  // of the piece being written, or SIZE_MAX
    std::uint32_t crc;  // of that piece so far
};

bool write_piece(worker& w, std::size_t e, std::uint64_t offset, const unsigned char* bytes,
                 std::size_t n) {
    if (!u.job.to_write[e]) return true;
    if (w.entry != e) {
        w.entry = e;
        w.crc = 0;
    }
    const HANDLE file = wait_for_file(e);
    if (file == nullptr) return false;
    w.crc = checksum_update(w.crc, bytes, n);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(n), &written, &at)) {
        claim_failure(write_failed, e, GetLastError());
        return false;
    }
    if (written != n) {  // no more room: Wine says so this way
        claim_failure(write_failed, e, ERROR_DISK_FULL);
        return false;
    }
    if (offset + n == u.map.entries[e].size) {
        w.entry = SIZE_MAX;
        piece_done(e, w.frame, w.crc);
    }
    return true;
}

// Decodes frame f alone and writes what it holds; false when unpacking
// stops.
bool decode_frame(worker& w, std::size_t f) {
    const payload_index::frame at = payload_index::frame_at(u.table, f);
    const std::uint64_t input_end = f + 1 < u.frames
                                        ? payload_index::frame_at(u.table, f + 1).block_offset
                                        : u.job.block_length;
    ZSTD_DCtx_reset(w.context, ZSTD_reset_session_only);
    ZSTD_inBuffer input{u.job.block + at.block_offset,
                        static_cast<std::size_t>(input_end - at.block_offset), 0};
    frame_walk::walk walk;
    frame_walk::begin(walk, u.map, at.stream_offset,
                      f + 1 < u.frames ? stream_begin(f + 1) : UINT64_MAX);
    w.frame = f;
    w.entry = SIZE_MAX;
    const auto on_data = [&](std::size_t e, std::uint64_t offset, const unsigned char* bytes,
                             std::size_t n) { return write_piece(w, e, offset, bytes, n); };
    for (;;) {
        if (failing()) return false;
        ZSTD_outBuffer output{w.output, output_size, 0};
        const std::size_t before = input.pos;
        const std::size_t left = ZSTD_decompressStream(w.context, &output, &input);
        InterlockedExchangeAdd64(&u.consumed, static_cast<LONG64>(input.pos - before));
        if (ZSTD_isError(left)) break;
        if (frame_walk::feed(walk, w.output, output.pos, on_data) != frame_walk::fed::ok) break;
        if (failing()) return false;
        if (left == 0) {
            // The frame ended: where the table says, in the block and in
            // the stream.
            if ((f + 1 < u.frames && input.pos != input.size) || !frame_walk::ended_right(walk)) {
                break;
            }
            // The piece of an entry that goes on in the next frame.
            if (w.entry != SIZE_MAX) piece_done(w.entry, f, w.crc);
            return true;
        }
        if (input.pos == input.size && output.pos < output.size) break;  // cut short
    }
    claim_failure(decode_failed, w.entry == SIZE_MAX ? SIZE_MAX : w.entry, 0);
    return false;
}

DWORD WINAPI decode_thread(void*) {
    guard_block_reads_here();
    worker w{};
    w.context = ZSTD_createDCtx();
    w.output = static_cast<unsigned char*>(malloc(output_size));
    if (w.context == nullptr || w.output == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(w.context, ZSTD_d_windowLogMax,
                                            payload_format::frame_window_log))) {
        claim_failure(decode_failed, SIZE_MAX, 0);
    }
    while (!failing()) {
        const std::size_t f = static_cast<std::size_t>(InterlockedIncrement64(&u.next_frame) - 1);
        if (f >= u.frames) break;
        if (u.frame_needed[f] && !decode_frame(w, f)) break;
    }
    ZSTD_freeDCtx(w.context);
    free(w.output);
    return 0;
}

// Makes entry e's file at its final size and hands it to the workers.
void open_entry(std::size_t e, wchar_t* path) {
    HANDLE file = nullptr;
    const std::uint64_t size = u.map.entries[e].size;
    if (!index_entry_path(u.job.folder, wcslen(u.job.folder), u.map.entries[e], path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        claim_failure(open_failed, e, GetLastError());
        return;
    }
    const wchar_t* relative = below_confined(path);
    if (!create_parent_folders(path) && relative != nullptr) {
        claim_failure(open_failed, e, GetLastError());
        return;
    }
    file = open_for_writing(path, relative);
    if (file == INVALID_HANDLE_VALUE) {
        claim_failure(open_failed, e, GetLastError());
        return;
    }
    // A large file is made at its final size, so that pieces written out of
    // order find their room; for a small one that would be one more
    // request to the system for nothing.
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (size >= final_size_from &&
        !SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end)) {
        u.handles[e] = file;  // removed with the others
        claim_failure(write_failed, e, GetLastError());
        return;
    }
    if (size == 0) {
        u.handles[e] = file;
        finish_entry(e, 0);
        return;
    }
    // One piece in each frame it reaches, but for empty frames among them.
    const std::size_t first =
        frame_walk::frame_at(u.table, u.frames, frame_walk::data_start(u.map, e));
    const std::size_t last = frame_walk::frame_at(u.table, u.frames, data_end(e) - 1);
    LONG pieces = 0;
    for (std::size_t f = first; f <= last; ++f) pieces += piece_length(e, f) > 0 ? 1 : 0;
    u.pieces_left[e] = pieces;
    u.handles[e] = file;
}

void publish_opened(std::size_t through) {
    AcquireSRWLockExclusive(&u.lock);
    InterlockedExchange64(&u.opened, static_cast<LONG64>(through));
    ReleaseSRWLockExclusive(&u.lock);
    WakeAllConditionVariable(&u.opened_more);
}

// Marks the frames that hold data of a file to write; false when an
// entry's pieces are more than a counter holds (never, from the builder).
std::size_t mark_needed_frames() {
    std::size_t needed = 0;
    for (std::size_t e = 0; e < u.map.count; ++e) {
        if (!u.job.to_write[e] || u.map.entries[e].size == 0) continue;
        const std::size_t first =
            frame_walk::frame_at(u.table, u.frames, frame_walk::data_start(u.map, e));
        const std::size_t last = frame_walk::frame_at(u.table, u.frames, data_end(e) - 1);
        for (std::size_t f = first; f <= last; ++f) {
            if (!u.frame_needed[f]) ++needed;
            u.frame_needed[f] = 1;
        }
    }
    return needed;
}

// After a failure: every file not written whole and checked goes, through
// the handle that made it; then the failure is reported once.
[[noreturn]] void stop_with_failure(wchar_t* path) {
    for (std::size_t e = 0; e < u.map.count; ++e) {
        const HANDLE file = u.handles[e];
        if (file == nullptr) continue;
        FILE_DISPOSITION_INFO remove{TRUE};
        SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
        CloseHandle(file);
    }
    const std::size_t e = u.failed_entry;
    if (e < u.map.count &&
        index_entry_path(u.job.folder, wcslen(u.job.folder), u.map.entries[e], path)) {
        note_file_in_hand(path);
    }
    switch (u.failed) {
        case write_failed:
            fail_unpack(u.failed_code);
        case open_failed:
            SetLastError(u.failed_code);
            fail_open_for_writing(path);
        default:
            fail_decode();
    }
}

// Compressed bytes taken so far by all threads, for the progress window.
std::uint64_t frames_consumed() { return static_cast<std::uint64_t>(u.consumed); }

// What the frames to decode hold in the block.
std::uint64_t needed_input() {
    std::uint64_t total = 0;
    for (std::size_t f = 0; f < u.frames; ++f) {
        if (!u.frame_needed[f]) continue;
        const std::uint64_t begin = payload_index::frame_at(u.table, f).block_offset;
        total += (f + 1 < u.frames ? payload_index::frame_at(u.table, f + 1).block_offset
                                   : u.job.block_length) -
                 begin;
    }
    return total;
}

}  // namespace

unsigned decode_threads_for(std::size_t frames, unsigned processors) {
    std::size_t n = frames < processors ? frames : processors;
    if (n > max_decode_threads) n = max_decode_threads;
    return n == 0 ? 1 : static_cast<unsigned>(n);
}

bool frames_usable(const index_entries& index, std::uint64_t block_length) {
    if (index.count == 0) return false;
    const unsigned char* end_of_entries = index.entries[index.count - 1].name +
                                          frame_walk::header_size(index.entries[index.count - 1]);
    const unsigned char* table = end_of_entries + frame_walk::terminator_size;
    const std::size_t left = index.length - static_cast<std::size_t>(table - index.bytes);
    const long long frames = payload_index::frame_count(table, left);
    if (frames <= 0) return false;
    const payload_index::frame last =
        payload_index::frame_at(table, static_cast<std::size_t>(frames) - 1);
    if (last.block_offset >= block_length) return false;
    // Pieces are combined with zlib's crc32_combine, whose length is a long:
    // a block with a frame of 2 GiB or more (none the builder makes) is read
    // by the one sequential reader instead.
    std::uint64_t stream = frame_walk::terminator_size;
    for (std::size_t e = 0; e < index.count; ++e) {
        stream += frame_walk::header_size(index.entries[e]) + index.entries[e].size;
    }
    for (std::size_t f = 0; f < static_cast<std::size_t>(frames); ++f) {
        const std::uint64_t begin = payload_index::frame_at(table, f).stream_offset;
        const std::uint64_t end = f + 1 < static_cast<std::size_t>(frames)
                                      ? payload_index::frame_at(table, f + 1).stream_offset
                                      : stream;
        if (end < begin || end - begin > 0x7fffffff) return false;
    }
    return true;
}

void unpack_frames(const frame_unpack_job& job) {
    u.job = job;
    const index_entries& index = *job.index;
    const payload_index::entry& last_entry = index.entries[index.count - 1];
    u.table = last_entry.name + frame_walk::header_size(last_entry) + frame_walk::terminator_size;
    u.frames = static_cast<std::size_t>(payload_index::frame_count(
        u.table, index.length - static_cast<std::size_t>(u.table - index.bytes)));
    u.starts = static_cast<std::uint64_t*>(zeroed(index.count + 1, sizeof(std::uint64_t)));
    if (!frame_walk::lay_out(index.entries, index.count, u.starts)) fail_decode();
    u.map = frame_walk::layout{index.entries, index.count, u.starts};
    // Frames the table places beyond the stream cannot be right.
    if (payload_index::frame_at(u.table, u.frames - 1).stream_offset >
        frame_walk::stream_length(u.map)) {
        fail_decode();
    }
    u.frame_needed = static_cast<unsigned char*>(zeroed(u.frames, 1));
    u.head_crc = static_cast<std::uint32_t*>(zeroed(u.frames, sizeof(std::uint32_t)));
    u.tail_crc = static_cast<std::uint32_t*>(zeroed(u.frames, sizeof(std::uint32_t)));
    u.handles = static_cast<HANDLE volatile*>(zeroed(index.count, sizeof(HANDLE)));
    u.pieces_left = static_cast<volatile LONG*>(zeroed(index.count, sizeof(LONG)));
    InitializeSRWLock(&u.lock);
    InitializeConditionVariable(&u.opened_more);
    InitializeConditionVariable(&u.to_close);

    const std::size_t needed = mark_needed_frames();
    progress_window_start(frames_consumed, needed_input());
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const unsigned workers = decode_threads_for(needed, system.dwNumberOfProcessors);
    trace(L"decoding %Iu of %Iu frames on %u threads", needed, u.frames, workers);
    HANDLE threads[max_decode_threads + close_threads];
    DWORD started = 0;
    for (unsigned t = 0; t < close_threads; ++t) {
        const HANDLE h = CreateThread(nullptr, 64 * 1024, close_thread, nullptr,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (h == nullptr) fail_alloc();
        threads[started++] = h;
    }
    const DWORD first_worker = started;
    for (unsigned t = 0; t < workers && needed > 0; ++t) {
        const HANDLE h = CreateThread(nullptr, worker_stack, decode_thread, nullptr,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (h == nullptr) break;
        threads[started++] = h;
    }
    if (needed > 0 && started == first_worker) fail_alloc();

    // This thread makes the files, in the order the frames hold them.
    wchar_t path[path_capacity];
    for (std::size_t e = 0; e < index.count && !failing(); ++e) {
        if (job.to_write[e]) {
            progress_window_note_write();
            open_entry(e, path);
        }
        publish_opened(e + 1);
    }
    if (started > first_worker) {
        WaitForMultipleObjects(started - first_worker, threads + first_worker, TRUE, INFINITE);
    }
    AcquireSRWLockExclusive(&u.lock);
    u.closing_done = true;
    ReleaseSRWLockExclusive(&u.lock);
    WakeAllConditionVariable(&u.to_close);
    WaitForMultipleObjects(first_worker, threads, TRUE, INFINITE);
    for (DWORD t = 0; t < started; ++t) CloseHandle(threads[t]);
    forget_made_in();
    // A file every frame went by without finishing was not in them.
    if (!failing()) {
        for (std::size_t e = 0; e < index.count; ++e) {
            if (u.handles[e] != nullptr) claim_failure(decode_failed, e, 0);
        }
    }
    if (failing()) stop_with_failure(path);
}
