#include "tools/pack/block_file.h"

#include "tools/host/host_platform.h"
#include "tools/host/text.h"

#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>
#include <cstring>

namespace {

// Compressed bytes read from the file at once, and entry data handled at once.
constexpr std::size_t input_chunk_size = 1 << 16;
constexpr std::size_t data_chunk_size = 1 << 16;

}  // namespace

// The frame's bytes in the file, fed to the decoder a chunk at a time. A
// fault is kept here and reported as a failed decode, so the reader stays
// free of exceptions; block_stream throws it.
struct block_decoder {
    std::FILE* file = nullptr;
    std::string path;
    ZSTD_DCtx* context = nullptr;
    std::vector<unsigned char> input;
    ZSTD_inBuffer in{nullptr, 0, 0};
    std::uint64_t next_offset = 0;  // file offset of the frame bytes not yet read
    std::uint64_t input_left = 0;
    std::uint64_t block_start = 0;
    std::uint64_t produced = 0;  // stream bytes decoded so far
    bool frame_start = true;     // the next input byte begins a frame
    bool filled = false;         // the decoder may hold more output without more input
    std::string error;           // why the last call failed
    std::vector<payload_index::frame> frames;  // where each frame so far began
};

namespace {

// Frames back to back decode as one stream (a block of older packers holds
// one); the start of each is noted for the index. Once the input is used up,
// nothing more comes, and expect_end judges what is left.
block_reader::decoded decode_frame(void* context, unsigned char* out, std::size_t capacity,
                                   std::size_t& produced) {
    block_decoder& d = *static_cast<block_decoder*>(context);
    produced = 0;
    if (d.in.pos == d.in.size && d.input_left > 0) {
        const std::size_t n =
            static_cast<std::size_t>(d.input_left < d.input.size() ? d.input_left : d.input.size());
        try {
            read_file_at(d.file, d.path, d.next_offset, d.input.data(), n);
        } catch (const tool_error& e) {
            d.error = e.what();
            return block_reader::decoded::failed;
        }
        d.next_offset += n;
        d.input_left -= n;
        d.in = ZSTD_inBuffer{d.input.data(), n, 0};
    }
    if (d.in.pos == d.in.size && !d.filled) return block_reader::decoded::exhausted;
    if (d.frame_start && d.in.pos < d.in.size) {
        const std::uint64_t at = d.next_offset - (d.in.size - d.in.pos) - d.block_start;
        d.frames.push_back({at, d.produced});
        d.frame_start = false;
    }
    ZSTD_outBuffer o{out, capacity, 0};
    const std::size_t rc = ZSTD_decompressStream(d.context, &o, &d.in);
    if (ZSTD_isError(rc)) {
        d.error = in_quotes(d.path) + ": the payload is damaged: " +
                  (ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge
                       ? std::string("the frame needs a window above 2^27 + 1 bytes")
                       : std::string(ZSTD_getErrorName(rc)));
        return block_reader::decoded::failed;
    }
    d.frame_start = rc == 0;
    d.filled = o.pos == o.size;
    d.produced += o.pos;
    produced = o.pos;
    return rc == 0 ? block_reader::decoded::frame_end : block_reader::decoded::going;
}

}  // namespace

void read_file_at(std::FILE* file, const std::string& path, std::uint64_t offset,
                  unsigned char* out, std::size_t n) {
    if (!seek_file(file, offset) || std::fread(out, 1, n, file) != n) {
        throw tool_error("cannot read " + in_quotes(path) + " (was it changed while read?)");
    }
}

void check_block_ends(std::FILE* file, const std::string& path, std::uint64_t block_start,
                      std::uint64_t block_length, const std::string& what) {
    unsigned char magic[payload_format::magic_size];
    if (block_length < sizeof magic) {
        throw tool_error(what + ": the payload block does not start with QJX");
    }
    read_file_at(file, path, block_start, magic, sizeof magic);
    if (std::memcmp(magic, payload_format::magic, sizeof magic) != 0) {
        throw tool_error(what + ": the payload block does not start with QJX");
    }
    // The zero field and the trailer fix where the frame ends.
    unsigned char tail[payload_format::tail_size];
    if (block_length < payload_format::magic_size + sizeof tail) {
        throw tool_error(what + ": the payload block is too short to hold a frame");
    }
    read_file_at(file, path, block_start + block_length - sizeof tail, tail, sizeof tail);
    if (payload_format::get_u32_le(tail) != 0 ||
        payload_format::get_u64_le(tail + payload_format::zero_field_size) !=
            block_length - payload_format::trailer_size) {
        throw tool_error(what + ": the payload block's end does not match its length");
    }
}

block_stream::block_stream(std::FILE* file, const std::string& path, std::uint64_t block_start,
                           std::uint64_t block_length)
    : path_(path), decoder_(new block_decoder), window_(ZSTD_DStreamOutSize()) {
    block_decoder& d = *decoder_;
    d.file = file;
    d.path = path;
    d.input.resize(input_chunk_size);
    d.context = ZSTD_createDCtx();
    if (d.context == nullptr) throw tool_error("cannot create the Zstandard decoder");
    // The launcher's decoder keeps zstd's default limit, which is this
    // one (2^27 + 1 bytes); set here so a library default can never differ.
    const std::size_t rc =
        ZSTD_DCtx_setParameter(d.context, ZSTD_d_windowLogMax, payload_format::frame_window_log);
    if (ZSTD_isError(rc)) {
        ZSTD_freeDCtx(d.context);
        throw tool_error("cannot limit the Zstandard decoder's window");
    }
    d.block_start = block_start;
    d.next_offset = block_start + payload_format::magic_size;
    d.input_left = block_length - payload_format::magic_size - payload_format::tail_size;
    block_reader::open(reader_, {decode_frame, &d}, window_.data(), window_.size());
}

block_stream::~block_stream() { ZSTD_freeDCtx(decoder_->context); }

void block_stream::fail(block_reader::result why, const block_entry* e) const {
    if (why == block_reader::result::failed) throw tool_error(decoder_->error);
    std::string reason;
    switch (why) {
        case block_reader::result::name_too_long:
            reason = "the name of entry " + std::to_string(e == nullptr ? 0 : e->number) +
                     " is longer than " + std::to_string(payload_format::max_name_units) +
                     " UTF-16 units";
            break;
        case block_reader::result::after_end:
            reason = "data follow the entry stream's terminator";
            break;
        case block_reader::result::frame_cut_short:
            reason = "the compressed frame is cut short";
            break;
        default:
            reason = "the entry stream ends before its terminator";
            break;
    }
    throw tool_error(in_quotes(path_) + ": the payload is damaged: " + reason);
}

bool block_stream::next_entry(block_entry& e) {
    ++e.number;
    char16_t name[payload_format::name_buffer_units];
    entry_walk::fields header;
    const block_reader::result got = block_reader::next_entry(reader_, name, header);
    if (got == block_reader::result::end) {
        e.name.clear();
        return false;
    }
    if (got != block_reader::result::ok) fail(got, &e);
    e.name.assign(name, header.units);
    e.size = header.size;
    e.checksum = header.checksum;
    e.problem = header.problem;
    return true;
}

std::uint32_t block_stream::copy_entry_data(const block_entry& e, std::FILE* out,
                                            const std::string& out_path) {
    std::vector<unsigned char> buffer(data_chunk_size);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::uint64_t left = e.size; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(left < buffer.size() ? left : buffer.size());
        const block_reader::result got = block_reader::read(reader_, buffer.data(), n);
        if (got != block_reader::result::ok) fail(got);
        crc = crc32_z(crc, buffer.data(), n);
        if (out != nullptr && std::fwrite(buffer.data(), 1, n, out) != n) {
            throw tool_error("cannot write " + in_quotes(out_path) + ": " + std::strerror(errno));
        }
        left -= n;
    }
    return payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc));
}

const std::vector<payload_index::frame>& block_stream::frames() const { return decoder_->frames; }

void block_stream::expect_end() {
    const block_reader::result got = block_reader::finish(reader_, block_reader::end_rule::exact);
    if (got != block_reader::result::ok) fail(got);
    if (decoder_->in.pos != decoder_->in.size || decoder_->input_left != 0) {
        throw tool_error(in_quotes(path_) +
                         ": the payload is damaged: bytes follow the compressed frame inside "
                         "the block");
    }
}
