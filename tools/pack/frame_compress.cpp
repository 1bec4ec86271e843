#include "tools/pack/frame_compress.h"

#include "format/block.h"
#include "tools/host/file_ptr.h"
#include "tools/host/host_platform.h"
#include "tools/host/text.h"

#include <zlib.h>
#define ZSTD_STATIC_LINKING_ONLY  // the compressor's parameters, to bound its memory
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr std::size_t io_chunk = 1 << 20;

// The part of one entry's data that one frame holds, summed as it was read.
struct data_piece {
    std::size_t entry;
    std::uint32_t crc;
    std::uint64_t length;
};

// Compressed bytes go from a thread to the writer in chunks of about this
// size, so a frame waiting for its turn never holds a doubled vector.
constexpr std::size_t out_chunk = 1 << 20;

// What the threads share; the mutex guards all but `taken`.
struct frame_work {
    const stream_layout* layout;
    int level;
    std::uint64_t frame_bytes;
    std::size_t frames;
    std::size_t in_flight;     // frames taken but not yet written, at most
    std::uint64_t held_limit;  // compressed bytes of frames not being written, at most
    std::mutex lock;
    std::condition_variable changed;
    std::size_t next = 0;     // the next frame a thread takes
    std::size_t written = 0;  // frames handed whole to the sink; frame `written` is going out
    std::uint64_t held = 0;   // bytes in `chunks`, as allocated
    bool stop = false;
    std::string error;  // the first fault, which stops every thread
    std::vector<std::deque<std::vector<unsigned char>>> chunks;  // per frame, until written
    // Chunks written, kept to be filled again: the same few blocks serve the
    // whole pack, so the allocator never scatters them over fresh memory.
    std::vector<std::vector<unsigned char>> spare;
    std::vector<std::vector<data_piece>> pieces;  // per frame
    std::vector<bool> done;
    std::atomic<std::uint64_t> taken{0};  // file bytes fed to the compressors
};

void check(std::size_t result, const char* what) {
    if (ZSTD_isError(result)) {
        throw tool_error(std::string("Zstandard rejected the ") + what + ": " +
                         ZSTD_getErrorName(result));
    }
}

// Hands a chunk of frame k to the writer. Frame `written` never waits, as
// the writer takes its chunks as they come; a frame ahead of it waits while
// the bytes held would pass the limit, which frees as the writer goes on.
void hand_over(frame_work& w, std::size_t k, std::vector<unsigned char>& chunk) {
    if (chunk.empty()) return;
    std::unique_lock<std::mutex> hold(w.lock);
    w.changed.wait(hold, [&] {
        return w.stop || k == w.written || w.held + chunk.capacity() <= w.held_limit;
    });
    if (w.stop) throw tool_error(w.error);
    w.held += chunk.capacity();
    w.chunks[k].push_back(std::move(chunk));
    w.changed.notify_all();
    chunk = std::vector<unsigned char>();
}

// An empty chunk to fill, a spare one when there is one.
std::vector<unsigned char> fresh_chunk(frame_work& w, std::size_t capacity) {
    {
        std::lock_guard<std::mutex> hold(w.lock);
        if (!w.spare.empty()) {
            std::vector<unsigned char> chunk = std::move(w.spare.back());
            w.spare.pop_back();
            return chunk;
        }
    }
    std::vector<unsigned char> chunk;
    chunk.reserve(capacity);
    return chunk;
}

// One compressor per thread, reset for every frame it takes.
struct compressor {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    std::vector<unsigned char> input = std::vector<unsigned char>(io_chunk);  // file data read
    std::vector<unsigned char> buffer = std::vector<unsigned char>(ZSTD_CStreamOutSize());
    std::vector<unsigned char> chunk;  // output not yet handed over
    frame_work* work = nullptr;
    std::size_t frame = 0;

    ~compressor() { ZSTD_freeCCtx(context); }

    void start(frame_work& w, std::size_t k, std::uint64_t content) {
        if (context == nullptr) throw tool_error("cannot create the Zstandard compressor");
        check(ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters), "reset");
        check(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, w.level), "level");
        check(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, payload_format::packed_window_log),
              "window");
        // Long-distance matching finds the repeats across similar files of
        // one frame that the fast levels' match finders miss.
        check(ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1),
              "long-distance matching");
        check(ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0), "content size flag");
        check(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1), "checksum flag");
        check(ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
        // The frame's length is known, so a short frame gets a window no
        // larger than itself, and a decoder allocates no more.
        check(ZSTD_CCtx_setPledgedSrcSize(context, content), "frame length");
        work = &w;
        frame = k;
        chunk.clear();
    }
    void run(const void* data, std::size_t n, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in{data, n, 0};
        for (;;) {
            ZSTD_outBuffer o{buffer.data(), buffer.size(), 0};
            const std::size_t left = ZSTD_compressStream2(context, &o, &in, mode);
            check(left, "input");
            if (o.pos > 0) {
                if (chunk.capacity() == 0) chunk = fresh_chunk(*work, out_chunk + buffer.size());
                chunk.insert(chunk.end(), buffer.data(), buffer.data() + o.pos);
                if (chunk.size() >= out_chunk) hand_over(*work, frame, chunk);
            }
            if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) break;
        }
        if (mode == ZSTD_e_end) hand_over(*work, frame, chunk);
    }
};

// Feeds [from, from + n) of one entry's file to the compressor, summing it.
void feed_data(frame_work& w, compressor& c, std::size_t entry, std::uint64_t from, std::uint64_t n,
               std::vector<unsigned char>& buffer, std::vector<data_piece>& pieces) {
    const stream_entry& e = w.layout->entries[entry];
    file_ptr f(open_file(e.disk_path, "rb"));
    if (!f || !seek_file(f.get(), from)) throw tool_error("cannot read " + in_quotes(e.disk_path));
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::uint64_t left = n; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, io_chunk));
        const std::size_t got = std::fread(buffer.data(), 1, want, f.get());
        if (got != want) {
            throw tool_error("the file changed while it was packed: " + in_quotes(e.disk_path));
        }
        crc = crc32_z(crc, buffer.data(), got);
        c.run(buffer.data(), got, ZSTD_e_continue);
        w.taken.fetch_add(got, std::memory_order_relaxed);
        left -= got;
    }
    pieces.push_back({entry, static_cast<std::uint32_t>(crc), n});
}

// Compresses frame k: the headers, file data and terminator its range holds.
void compress_frame(frame_work& w, compressor& c, std::size_t k, std::vector<data_piece>& pieces) {
    const stream_layout& layout = *w.layout;
    const std::uint64_t begin = k * w.frame_bytes;
    const std::uint64_t end = std::min(begin + w.frame_bytes, layout.length);
    c.start(w, k, end - begin);
    // The first entry that ends after `begin`.
    auto it =
        std::upper_bound(layout.entries.begin(), layout.entries.end(), begin,
                         [](std::uint64_t at, const stream_entry& e) { return at < e.start; });
    std::size_t i = it == layout.entries.begin() ? 0 : (it - layout.entries.begin()) - 1;
    std::uint64_t at = begin;
    for (; i < layout.entries.size() && at < end; ++i) {
        const stream_entry& e = layout.entries[i];
        const std::uint64_t data_start = e.start + e.header.size();
        if (at < data_start) {
            const std::uint64_t to_end = std::min(end, data_start);
            c.run(e.header.data() + (at - e.start), static_cast<std::size_t>(to_end - at),
                  ZSTD_e_continue);
            at = to_end;
        }
        const std::uint64_t data_end = std::min(end, data_start + e.size);
        if (at < data_end) {
            feed_data(w, c, i, at - data_start, data_end - at, c.input, pieces);
            at = data_end;
        }
    }
    if (at < end) {  // the terminator, or the part of it in this frame
        const unsigned char terminator[2] = {0, 0};
        c.run(terminator + (2 - (end - at)), static_cast<std::size_t>(end - at), ZSTD_e_continue);
    }
    c.run(nullptr, 0, ZSTD_e_end);
}

void work_on_frames(frame_work& w) {
    compressor c;
    for (;;) {
        std::size_t k;
        {
            std::unique_lock<std::mutex> hold(w.lock);
            w.changed.wait(hold, [&] {
                return w.stop || w.next >= w.frames || w.next < w.written + w.in_flight;
            });
            if (w.stop || w.next >= w.frames) return;
            k = w.next++;
        }
        std::vector<data_piece> pieces;
        try {
            compress_frame(w, c, k, pieces);
        } catch (const std::exception& e) {  // a tool_error, or memory running out
            std::lock_guard<std::mutex> hold(w.lock);
            // A thread stopped by another's fault adds nothing to it.
            if (!w.stop && w.error.empty()) w.error = e.what();
            w.stop = true;
            w.changed.notify_all();
            return;
        }
        std::lock_guard<std::mutex> hold(w.lock);
        w.pieces[k] = std::move(pieces);
        w.done[k] = true;
        w.changed.notify_all();
    }
}

// Hands the frames to `out` in order, each chunk as soon as it comes; the
// frames' offsets.
std::vector<payload_index::frame> write_frames_in_order(
    frame_work& w, const std::function<void(const void*, std::size_t)>& out,
    const std::function<void(std::uint64_t)>& progress) {
    std::vector<payload_index::frame> frames;
    std::uint64_t block_offset = payload_format::magic_size;
    for (std::size_t k = 0; k < w.frames; ++k) {
        frames.push_back({block_offset, k * w.frame_bytes});
        for (;;) {
            std::vector<unsigned char> bytes;
            {
                std::unique_lock<std::mutex> hold(w.lock);
                while (w.chunks[k].empty() && !w.done[k] && !w.stop) {
                    w.changed.wait_for(hold, std::chrono::milliseconds(100));
                    if (progress) progress(w.taken.load(std::memory_order_relaxed));
                }
                if (w.stop) return frames;
                if (w.chunks[k].empty()) {  // and done
                    w.written = k + 1;
                    w.changed.notify_all();
                    break;
                }
                bytes = std::move(w.chunks[k].front());
                w.chunks[k].pop_front();
            }
            out(bytes.data(), bytes.size());
            block_offset += bytes.size();
            bytes.clear();
            std::lock_guard<std::mutex> hold(w.lock);
            w.held -= bytes.capacity();
            w.spare.push_back(std::move(bytes));
            w.changed.notify_all();
        }
        if (progress) progress(w.taken.load(std::memory_order_relaxed));
    }
    return frames;
}

}  // namespace

compress_share share_memory(unsigned cores, std::uint64_t thread_bytes,
                            std::uint64_t budget_bytes) {
    const std::uint64_t for_threads = budget_bytes - budget_bytes / 8;
    const std::uint64_t fit = thread_bytes == 0 ? cores : for_threads / thread_bytes;
    const unsigned threads =
        static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(cores, fit)));
    const std::uint64_t taken = threads * thread_bytes;
    return {threads, budget_bytes > taken ? budget_bytes - taken : 0};
}

std::uint64_t compress_thread_bytes(int level, std::uint64_t frame_bytes) {
    // The parameters the compressor will take for such a frame, made
    // explicit: the estimate does not narrow them to a known length.
    ZSTD_compressionParameters c = ZSTD_getCParams(level, frame_bytes, 0);
    c.windowLog = payload_format::packed_window_log;
    c = ZSTD_adjustCParams(c, frame_bytes, 0);
    ZSTD_CCtx_params* params = ZSTD_createCCtxParams();
    if (params == nullptr) throw tool_error("cannot create the Zstandard parameters");
    ZSTD_CCtxParams_init(params, level);
    const std::pair<ZSTD_cParameter, int> values[] = {
        {ZSTD_c_windowLog, static_cast<int>(c.windowLog)},
        {ZSTD_c_chainLog, static_cast<int>(c.chainLog)},
        {ZSTD_c_hashLog, static_cast<int>(c.hashLog)},
        {ZSTD_c_searchLog, static_cast<int>(c.searchLog)},
        {ZSTD_c_minMatch, static_cast<int>(c.minMatch)},
        {ZSTD_c_targetLength, static_cast<int>(c.targetLength)},
        {ZSTD_c_strategy, static_cast<int>(c.strategy)},
        {ZSTD_c_enableLongDistanceMatching, 1},
    };
    for (const auto& v : values) ZSTD_CCtxParams_setParameter(params, v.first, v.second);
    // Long-distance matching's own defaults, which the compressor derives
    // from the window but the estimate leaves at zero.
    const int ldm_hash_log = std::max(6, static_cast<int>(c.windowLog) - 7);
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_ldmHashLog, ldm_hash_log);
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_ldmMinMatch, 64);
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_ldmBucketSizeLog, std::min(3, ldm_hash_log));
    ZSTD_CCtxParams_setParameter(params, ZSTD_c_ldmHashRateLog,
                                 static_cast<int>(c.windowLog) - ldm_hash_log);
    const std::size_t context = ZSTD_estimateCStreamSize_usingCCtxParams(params);
    ZSTD_freeCCtxParams(params);
    check(context, "parameters");
    // The thread's read buffer, its output buffer and the chunk it fills.
    return context + io_chunk + 2 * ZSTD_CStreamOutSize() + out_chunk;
}

std::uint64_t frame_count_for(std::uint64_t stream_length, std::uint64_t frame_bytes) {
    if (stream_length == 0 || frame_bytes == 0) return 1;
    return (stream_length + frame_bytes - 1) / frame_bytes;
}

std::vector<payload_index::frame> compress_frames(
    const stream_layout& layout, int level, std::uint64_t frame_bytes, unsigned threads,
    std::uint64_t memory_bytes, const std::function<void(const void*, std::size_t)>& out,
    const std::function<void(std::uint64_t)>& progress) {
    frame_work w;
    w.layout = &layout;
    w.level = level;
    w.frame_bytes = frame_bytes;
    w.frames = static_cast<std::size_t>(frame_count_for(layout.length, frame_bytes));
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, w.frames));
    const compress_share share = share_memory(
        threads, compress_thread_bytes(level, std::min(frame_bytes, layout.length)), memory_bytes);
    threads = share.threads;
    w.in_flight = threads;
    w.held_limit = share.held_bytes;
    w.chunks.resize(w.frames);
    w.pieces.resize(w.frames);
    w.done.assign(w.frames, false);

    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work_on_frames, std::ref(w));
    std::vector<payload_index::frame> frames;
    std::exception_ptr sink_fault;  // the threads are joined before it goes on
    try {
        frames = write_frames_in_order(w, out, progress);
    } catch (...) {
        sink_fault = std::current_exception();
    }
    std::string fault;
    {
        std::lock_guard<std::mutex> hold(w.lock);
        w.stop = true;
        fault = w.error;
        w.changed.notify_all();
    }
    for (std::thread& t : workers) t.join();
    if (sink_fault) std::rethrow_exception(sink_fault);
    if (!fault.empty()) throw tool_error(fault);

    // Every entry's pieces, in stream order, must sum to what the layout
    // read first: a file rewritten in place keeps its size, only its sum tells.
    std::vector<uLong> sums(layout.entries.size(), crc32(0L, Z_NULL, 0));
    for (const std::vector<data_piece>& frame : w.pieces) {
        for (const data_piece& p : frame) {
            // A piece is at most one frame, far below z_off_t's range.
            sums[p.entry] = crc32_combine(sums[p.entry], p.crc, static_cast<z_off_t>(p.length));
        }
    }
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        if (static_cast<std::uint32_t>(sums[i]) != layout.entries[i].crc) {
            throw tool_error("the file changed while it was packed: " +
                             in_quotes(layout.entries[i].disk_path));
        }
    }
    return frames;
}
