// The packer: turns the listed files of an application folder
// (tools/pack/folder_listing.h) into a payload block. File data is streamed:
// no file and no folder is ever held in memory whole.
#pragma once

#include "tools/host/text.h"
#include "tools/pack/folder_listing.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

constexpr int default_compression_level = 19;

// CRC-32 (zlib's) of a file, streamed, and the file's size.
void checksum_file(const std::string& path, std::uint32_t& crc, std::uint64_t& size);

// The bytes that precede an entry's data: name units, 0 unit, size, checksum.
std::vector<unsigned char> encode_entry_header(const std::u16string& name, std::uint64_t size,
                                               std::uint32_t stored_checksum);

// Receives the bytes of a block in order.
using block_sink = std::function<void(const void* data, std::size_t size)>;
// Told, as the compressor goes, how many bytes of file data it has taken.
using progress_sink = std::function<void(std::uint64_t done)>;

// How the entry stream is cut into frames and who compresses them. The
// block depends on frame_bytes, never on threads or memory.
struct frame_plan {
    std::uint64_t frame_bytes = 0;   // content of every frame but the last; 0: by the stream's size
    unsigned threads = 0;            // compressing threads; 0: one per core
    std::uint64_t memory_bytes = 0;  // what compressing may take; 0: compress_memory_budget
};

// The content of each frame for an entry stream of `stream_bytes`: enough
// frames for eight decoding cores, none smaller than 32 MiB (so a small
// folder stays one frame) or larger than 128 MiB (so a huge file does not
// hold a core alone).
std::uint64_t frame_bytes_for(std::uint64_t stream_bytes);

// The order in which the entries go into the stream: the first (the main
// program) first, then the others grouped by extension, then by file name,
// then by their order in `entries`, so that copies and kin of a file (the
// many LICENSE and index.js of node_modules) lie within one frame's window.
std::vector<std::size_t> stream_order(const std::vector<folder_entry>& entries);

// Streams the complete block for the entries, in stream_order, into `out`, telling `progress`
// (when given) how far it is. When `index` is given, it receives the block's
// index (format/index.h): every entry's header, the terminator, the frames.
void write_block_to(const std::vector<folder_entry>& entries, int level, const block_sink& out,
                    std::vector<unsigned char>* index = nullptr, const progress_sink& progress = {},
                    const frame_plan& plan = {});

// The length of the index write_block_to gives for these entries: it depends
// on their names and, through the number of frames, on their sizes.
std::uint64_t index_length(const std::vector<folder_entry>& entries, const frame_plan& plan = {});

// The sum of the entries' file sizes: what a progress line counts to.
std::uint64_t total_file_bytes(const std::vector<folder_entry>& entries);

// The index of a ready block, made by decoding it (tools/pack/block_file.h):
// what a launcher built from the block's folder would carry. Empty when the
// block does not decode to the end or holds a name the launcher would refuse.
std::vector<unsigned char> index_of_block(const std::string& block_path);

// Writes the complete block for the entries to out_path (through a temporary
// file renamed into place only when complete).
void write_block(const std::vector<folder_entry>& entries, const std::string& out_path, int level,
                 const progress_sink& progress = {}, const frame_plan& plan = {});
