// The entry stream, laid out before it is compressed, and its compression
// into independent frames on several threads. Each frame is a fixed range of
// the stream, compressed alone with the same settings, so the block is the
// same whatever the number of threads; a thread reads its range straight
// from the files, so no file is ever held whole.
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

// Compresses the stream into frames, handing each to `out` in order as soon
// as it and those before it are done, and `progress` the file bytes taken so
// far (from this thread). Returns where each frame begins; throws tool_error
// when a file cannot be read or no longer holds what the layout says.
std::vector<payload_index::frame> compress_frames(
    const stream_layout& layout, int level, std::uint64_t frame_bytes, unsigned threads,
    const std::function<void(const void*, std::size_t)>& out,
    const std::function<void(std::uint64_t)>& progress);
