// The entry stream, laid out before it is compressed, and its compression
// into independent frames on several threads. Each frame is a fixed range of
// the stream, compressed alone with the same settings, so the block is the
// same whatever the number of threads; a thread reads its range straight
// from the files, so no file is ever held whole. Memory is bounded whatever
// the input, the level and the number of cores: the threads are as many as
// the budget holds compressors, and compressed bytes wait for their turn
// only up to what is left of it.
#pragma once

#include "format/index.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One entry of the stream: its header bytes, then `size` bytes of the file.
struct stream_entry {
    std::vector<unsigned char> header;
    std::string disk_path;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;    // zlib's CRC-32 of the data as first read
    std::uint64_t start = 0;  // stream offset of the header
};

// The whole stream: the entries, then the two bytes of the terminator.
struct stream_layout {
    std::vector<stream_entry> entries;
    std::uint64_t length = 0;  // terminator included
};

// Where the stream is cut: frame i holds [i * frame_bytes, (i + 1) * frame_bytes).
std::uint64_t frame_count_for(std::uint64_t stream_length, std::uint64_t frame_bytes);

// The memory packing may take, all of it but the program's own few MiB: the
// compressors and the compressed bytes that wait to be written in order.
constexpr std::uint64_t compress_memory_budget = std::uint64_t{448} << 20;

// How the budget is shared out.
struct compress_share {
    unsigned threads;          // compressing threads, at least 1
    std::uint64_t held_bytes;  // compressed bytes that may wait for their turn to be written
};

// The threads for `cores` cores when each thread takes `thread_bytes`: as
// many as fit in the budget while an eighth of it stays for waiting output
// (so that threads ahead of the one being written can go on), never more
// than the cores and never fewer than one; the waiting output gets what
// the threads leave. One thread never waits: its frame is always the one
// being written, which goes out as it comes.
compress_share share_memory(unsigned cores, std::uint64_t thread_bytes, std::uint64_t budget_bytes);

// What one compressing thread holds at `level` for frames of `frame_bytes`:
// Zstandard's context with its window, and the thread's read and output
// buffers.
std::uint64_t compress_thread_bytes(int level, std::uint64_t frame_bytes);

// Compresses the stream into frames, handing their bytes to `out` in order
// (those of the frame being written as they come), and `progress` the file
// bytes taken so far (from this thread). Returns where each frame begins; throws tool_error
// when a file cannot be read or no longer holds what the layout says.
std::vector<payload_index::frame> compress_frames(
    const stream_layout& layout, int level, std::uint64_t frame_bytes, unsigned threads,
    std::uint64_t memory_bytes, const std::function<void(const void*, std::size_t)>& out,
    const std::function<void(std::uint64_t)>& progress);
