#include "launcher/unpack/reader.h"

#include "launcher/errors.h"
#include "format/block.h"

#include <zstd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// The one reader of the process, open from payload_reader_open to
// payload_reader_close.
struct reader_state {
    ZSTD_DCtx* context;   // default parameters: window limit 2^27 + 1, no dictionary
    ZSTD_inBuffer input;  // the decoder input; only the decoder advances pos
    // Between decode calls: dst = the window, size = fill level (bytes the
    // last call produced), pos = read cursor (bytes already handed out).
    // During a call: size = the whole window, pos = the decoder's write position.
    ZSTD_outBuffer window;
    // The decoder's last hint: 0 once the frame has ended, its content
    // checksum (when it carries one) verified.
    std::size_t frame_left;
};

reader_state reader;

// Compressed bytes the decoder has consumed, for a progress window drawn by
// another thread; only the main thread writes it.
std::atomic<std::uint64_t> consumed{0};

}  // namespace

namespace {

// One decode call into the emptied window; true when it filled the whole
// window, so the decoder may still hold output even with no input left.
bool decode_into_window() {
    reader.window.pos = 0;
    reader.window.size = payload_format::window_size;
    const std::size_t result = ZSTD_decompressStream(reader.context, &reader.window, &reader.input);
    const bool filled = reader.window.pos == payload_format::window_size;
    consumed.store(reader.input.pos, std::memory_order_relaxed);
    if (ZSTD_isError(result)) fail_decode();
    reader.frame_left = result;
    reader.window.size = reader.window.pos;
    reader.window.pos = 0;
    return filled;
}

}  // namespace

void payload_reader_open(const void* source, std::uint64_t source_size) {
    void* window = malloc(payload_format::window_size);
    if (window == nullptr) fail_alloc();
    reader.context = ZSTD_createDCtx();
    if (reader.context == nullptr) fail_alloc();
    reader.input.src = source;
    reader.input.size = static_cast<std::size_t>(source_size);
    reader.input.pos = 0;
    reader.window.dst = window;
    reader.window.size = 0;  // starts empty: the first read decodes at once
    reader.window.pos = 0;
    reader.frame_left = 1;
}

void payload_read(void* destination, std::uint64_t count) {
    if (count == 0) return;
    unsigned char* out = static_cast<unsigned char*>(destination);
    // True when the last decode call of this read filled the whole window, so
    // the decoder may still hold output even with no input left.
    bool window_filled = false;
    while (count > 0) {
        const std::size_t available = reader.window.size - reader.window.pos;
        if (available > 0) {
            const std::size_t take =
                count < available ? static_cast<std::size_t>(count) : available;
            memcpy(out, static_cast<const unsigned char*>(reader.window.dst) + reader.window.pos,
                   take);
            reader.window.pos += take;
            out += take;
            count -= take;
            continue;
        }
        if (reader.input.pos < reader.input.size || window_filled) {
            window_filled = decode_into_window();
            continue;  // also when nothing came out: headers may have been consumed
        }
        fail_decode();  // the stream ended before the request was met
    }
}

void payload_reader_finish() {
    // The frame's checksum is only checked when the decoder reaches the
    // frame's end, which may lie past the terminator: decode on to it,
    // dropping whatever follows the terminator, as readers always have.
    bool window_filled = true;  // the decoder may still hold output
    while (reader.frame_left != 0) {
        if (reader.input.pos >= reader.input.size && !window_filled) fail_decode();
        window_filled = decode_into_window();
    }
    reader.window.size = 0;
    reader.window.pos = 0;
}

void payload_reader_close() {
    ZSTD_freeDCtx(reader.context);
    free(reader.window.dst);
    reader.context = nullptr;
    reader.window = ZSTD_outBuffer{};
}

std::uint64_t payload_reader_consumed() { return consumed.load(std::memory_order_relaxed); }
