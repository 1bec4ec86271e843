#include "launcher/unpack/reader.h"

#include "launcher/base/errors.h"
#include "format/block_reader.h"

#include <zstd.h>

#include <atomic>
#include <cstdlib>

namespace {

// The Zstandard side of the one reader of the process, open from
// payload_reader_open to payload_reader_close.
struct zstd_source {
    ZSTD_DCtx* context;   // default parameters: window limit 2^27 + 1, no dictionary
    ZSTD_inBuffer input;  // the decoder input; only the decoder advances pos
    // The last call filled its whole output, so the decoder may still hold
    // output even with no input left.
    bool filled;
};

zstd_source source;
block_reader::reader stream;  // over `source`, through a window from malloc

// Compressed bytes the decoder has consumed, for a progress window drawn by
// another thread; only the main thread writes it.
std::atomic<std::uint64_t> consumed{0};

// One decode call: frames back to back decode as one stream, and whatever
// follows the last one (the zero field) is refused by the decoder when a
// read reaches it.
block_reader::decoded decode_block(void*, unsigned char* out, std::size_t capacity,
                                   std::size_t& produced) {
    produced = 0;
    if (source.input.pos >= source.input.size && !source.filled) {
        return block_reader::decoded::exhausted;
    }
    ZSTD_outBuffer output{out, capacity, 0};
    const std::size_t frame_left = ZSTD_decompressStream(source.context, &output, &source.input);
    consumed.store(source.input.pos, std::memory_order_relaxed);
    if (ZSTD_isError(frame_left)) return block_reader::decoded::failed;
    source.filled = output.pos == capacity;
    produced = output.pos;
    return frame_left == 0 ? block_reader::decoded::frame_end : block_reader::decoded::going;
}

}  // namespace

void payload_reader_open(const void* block, std::uint64_t block_size) {
    unsigned char* window = static_cast<unsigned char*>(malloc(payload_format::window_size));
    if (window == nullptr) fail_alloc();
    source.context = ZSTD_createDCtx();
    if (source.context == nullptr) fail_alloc();
    source.input.src = block;
    source.input.size = static_cast<std::size_t>(block_size);
    source.input.pos = 0;
    source.filled = false;
    block_reader::open(stream, {decode_block, nullptr}, window, payload_format::window_size);
}

void payload_read(void* destination, std::uint64_t count) {
    if (block_reader::read(stream, destination, count) != block_reader::result::ok) fail_decode();
}

bool read_entry_header(entry_header& entry) {
    entry_walk::fields header;
    switch (block_reader::next_entry(stream, entry.name, header)) {
        case block_reader::result::end:
            return false;
        case block_reader::result::ok:
            break;
        default:
            fail_decode();
    }
    // Refused before anything touches the disk for it.
    if (header.problem != entry_names::problem::none) fail_decode();
    entry.stored_size = header.size;
    entry.stored_checksum = header.checksum;
    return true;
}

void payload_reader_finish() {
    if (block_reader::finish(stream, block_reader::end_rule::drop_rest) !=
        block_reader::result::ok) {
        fail_decode();
    }
}

void payload_reader_close() {
    ZSTD_freeDCtx(source.context);
    free(stream.window);
    source.context = nullptr;
    stream = block_reader::reader{};
}

std::uint64_t payload_reader_consumed() { return consumed.load(std::memory_order_relaxed); }
