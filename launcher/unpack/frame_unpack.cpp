#include "launcher/unpack/frame_unpack.h"

#include "launcher/base/errors.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/trace.h"
#include "launcher/windowed.h"
#include "launcher/unpack/confine.h"
#include "launcher/unpack/frame_state.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

using namespace frame_state;

namespace {

constexpr SIZE_T decoder_stack = 256 * 1024;
constexpr SIZE_T closer_stack = 64 * 1024;
constexpr unsigned close_threads = 2;
// A file this large is made at its final size first.
constexpr std::uint64_t final_size_from = 1024 * 1024;

void* zeroed(std::size_t count, std::size_t size) {
    void* p = calloc(count == 0 ? 1 : count, size);
    if (p == nullptr) fail_alloc();
    return p;
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
    LONG pieces = 0;
    for (std::size_t f = first_frame_of(e); f <= last_frame_of(e); ++f) {
        pieces += piece_length(e, f) > 0 ? 1 : 0;
    }
    u.pieces_left[e] = pieces;
    u.handles[e] = file;
}

void publish_opened(std::size_t through) {
    AcquireSRWLockExclusive(&u.lock);
    InterlockedExchange64(&u.opened, static_cast<LONG64>(through));
    ReleaseSRWLockExclusive(&u.lock);
    WakeAllConditionVariable(&u.opened_more);
}

// Marks the frames that hold data of a file to write; returns how many.
std::size_t mark_needed_frames() {
    std::size_t needed = 0;
    for (std::size_t e = 0; e < u.map.count; ++e) {
        if (!u.job.to_write[e] || u.map.entries[e].size == 0) continue;
        for (std::size_t f = first_frame_of(e); f <= last_frame_of(e); ++f) {
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

// How many decoding threads for this many frames to decode on this many
// processors: one per frame, at most one per processor and at most
// max_decode_threads, each holding up to a frame's window and 4.5 MiB of
// buffers.
constexpr unsigned max_decode_threads = 16;
unsigned decode_threads_for(std::size_t frames, unsigned processors) {
    std::size_t n = frames < processors ? frames : processors;
    if (n > max_decode_threads) n = max_decode_threads;
    return n == 0 ? 1 : static_cast<unsigned>(n);
}

}  // namespace

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
    // frame_count saw the frames follow one another; the last must begin
    // within the stream, or the table is not one to walk and the one
    // sequential reader meets what is wrong.
    std::uint64_t stream = frame_walk::terminator_size;
    for (std::size_t e = 0; e < index.count; ++e) {
        stream += frame_walk::header_size(index.entries[e]) + index.entries[e].size;
    }
    return last.stream_offset <= stream;
}

void unpack_frames(const frame_unpack_job& job) {
    u.job = {job.block, job.block_length, job.folder, job.to_write};
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
        const HANDLE h = CreateThread(nullptr, closer_stack, close_thread, nullptr,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (h == nullptr) fail_alloc();
        threads[started++] = h;
    }
    const DWORD first_worker = started;
    for (unsigned t = 0; t < workers && needed > 0; ++t) {
        const HANDLE h = CreateThread(nullptr, decoder_stack, decode_thread, nullptr,
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
    trace(L"every file made");
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
