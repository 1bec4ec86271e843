// Decoding alone, on 1, 2, 4, ... threads: how a block's independent frames
// spread over cores, on this machine or a bigger one. Every thread takes the
// next frame, decodes it into a small window and drops what it decoded, as
// the launcher's workers do before they write; the block is read into
// memory first, so no disk and no file system is timed.
//
//     decode_scaling LAUNCHER.exe [MAX_THREADS [RUNS]]
//
// Thread counts go 1, 2, 4, ... up to MAX_THREADS (by default the cores),
// each timed RUNS times (by default 3) and the fastest kept. Prints one
// Markdown table; bench/decode_scaling.py runs it and files the table.
#include "format/block.h"
#include "format/index.h"
#include "tools/host/text.h"
#include "tools/inspect/launcher_file.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// One frame: its bytes in the block and the length of its content.
struct frame_span {
    std::uint64_t begin;
    std::uint64_t end;
    std::uint64_t content;
};

// The block's frames from the index's frame table; a block of one frame,
// whose index has no table, is one span.
std::vector<frame_span> frames_of(const std::vector<unsigned char>& index,
                                  std::uint64_t block_length) {
    std::size_t pos = 0;
    payload_index::entry e;
    std::uint64_t stream = 2;  // the terminator
    for (;;) {
        const payload_index::step s = payload_index::next(index.data(), index.size(), pos, e);
        if (s == payload_index::step::bad) throw tool_error("the launcher's index is damaged");
        if (s == payload_index::step::end) break;
        stream += 2 * e.units + 2 + 12 + e.size;
    }
    const unsigned char* table = index.data() + pos;
    const long long count = payload_index::frame_count(table, index.size() - pos);
    const std::uint64_t frames_end = block_length - payload_format::tail_size;
    if (count <= 0) return {{payload_format::magic_size, frames_end, stream}};
    std::vector<frame_span> spans;
    for (long long i = 0; i < count; ++i) {
        const payload_index::frame f = payload_index::frame_at(table, i);
        const bool last = i + 1 == count;
        const payload_index::frame next =
            last ? payload_index::frame{frames_end, stream} : payload_index::frame_at(table, i + 1);
        if (next.block_offset > frames_end || next.stream_offset > stream) {
            throw tool_error("the launcher's frame table does not fit its block");
        }
        spans.push_back({f.block_offset, next.block_offset, next.stream_offset - f.stream_offset});
    }
    return spans;
}

// What the decoding threads share.
struct decode_run {
    const unsigned char* block;
    const std::vector<frame_span>* frames;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
};

bool decode_frame(ZSTD_DCtx* context, const unsigned char* block, const frame_span& f,
                  std::vector<unsigned char>& window) {
    if (ZSTD_isError(ZSTD_DCtx_reset(context, ZSTD_reset_session_only))) return false;
    ZSTD_inBuffer in{block + f.begin, static_cast<std::size_t>(f.end - f.begin), 0};
    std::uint64_t decoded = 0;
    for (;;) {
        ZSTD_outBuffer out{window.data(), window.size(), 0};
        const std::size_t left = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(left)) return false;
        decoded += out.pos;
        if (left == 0) break;
        if (in.pos == in.size && out.pos < out.size) return false;  // cut short
    }
    return in.pos == in.size && decoded == f.content;
}

void decode_frames(decode_run& run) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    std::vector<unsigned char> window(payload_format::window_size);
    const std::vector<frame_span>& frames = *run.frames;
    for (std::size_t k = run.next++; context != nullptr && k < frames.size(); k = run.next++) {
        if (!decode_frame(context, run.block, frames[k], window)) run.failed = true;
    }
    if (context == nullptr) run.failed = true;
    ZSTD_freeDCtx(context);
}

// Seconds to decode every frame on `threads` threads; negative on a fault.
double time_decoding(const std::vector<unsigned char>& block, const std::vector<frame_span>& frames,
                     unsigned threads) {
    decode_run run;
    run.block = block.data();
    run.frames = &frames;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(decode_frames, std::ref(run));
    for (std::thread& t : workers) t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return run.failed ? -1 : took.count();
}

unsigned count_argument(const char* text, const char* what) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 10);
    if (*end != '\0' || n == 0 || n > 1024)
        throw tool_error(std::string(what) + " must be 1 to 1024");
    return static_cast<unsigned>(n);
}

void report(const std::string& path, unsigned max_threads, unsigned runs) {
    launcher_file f = open_launcher(path);
    if (f.index.empty()) throw tool_error(in_quotes(path) + " carries no index");
    std::vector<unsigned char> block(f.block_length);
    read_at(f, f.block_start, block.data(), block.size());
    const std::vector<frame_span> frames = frames_of(f.index, f.block_length);
    std::uint64_t stream = 0;
    for (const frame_span& s : frames) stream += s.content;

    std::vector<unsigned> counts;
    for (unsigned t = 1; t < max_threads; t *= 2) counts.push_back(t);
    counts.push_back(max_threads);
    std::printf("%zu frames, block %.1f MiB, entry stream %.1f MiB, %u cores, best of %u runs:\n\n",
                frames.size(), block.size() / 1048576.0, stream / 1048576.0,
                std::thread::hardware_concurrency(), runs);
    std::printf("| threads | decode | MB/s of stream | speed-up | per thread |\n");
    std::printf("|---|---|---|---|---|\n");
    double one = 0;
    for (const unsigned threads : counts) {
        double best = 0;
        for (unsigned r = 0; r < runs; ++r) {
            const double s = time_decoding(block, frames, threads);
            if (s < 0) throw tool_error("a frame of " + in_quotes(path) + " does not decode");
            if (r == 0 || s < best) best = s;
        }
        if (threads == 1) one = best;
        std::printf("| %u | %.3f s | %.0f | %.2f | %.2f |\n", threads, best, stream / best / 1e6,
                    one / best, one / best / threads);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: decode_scaling LAUNCHER.exe [MAX_THREADS [RUNS]]\n");
        return 2;
    }
    try {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        report(argv[1], argc > 2 ? count_argument(argv[2], "MAX_THREADS") : cores,
               argc > 3 ? count_argument(argv[3], "RUNS") : 3);
    } catch (const tool_error& e) {
        std::fprintf(stderr, "decode_scaling: %s\n", e.what());
        return 2;
    }
    return 0;
}
