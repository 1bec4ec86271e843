#include "tools/pack/packer.h"

#include "format/block.h"
#include "tools/host/host_platform.h"
#include "tools/pack/block_file.h"

#include <zlib.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression, stable in practice since 1.3
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t io_chunk = 1 << 20;

struct file_closer {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

file_ptr open_for_reading(const std::string& path) {
    file_ptr f(open_file(path, "rb"));
    if (!f) throw tool_error("cannot read " + in_quotes(path) + ": " + std::strerror(errno));
    return f;
}

void write_all(std::FILE* out, const void* data, std::size_t n) {
    if (n != 0 && std::fwrite(data, 1, n, out) != n) {
        throw tool_error(std::string("cannot write output: ") + std::strerror(errno));
    }
}

// Streams the entry stream through one Zstandard frame into a sink.
class frame_writer {
public:
    frame_writer(const block_sink& out, int level, const progress_sink& progress)
        : out_(out), progress_(progress), context_(ZSTD_createCCtx()) {
        if (context_ == nullptr) throw tool_error("cannot create the Zstandard compressor");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level), "level");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_windowLog, payload_format::frame_window_log),
              "window");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_contentSizeFlag, 0), "content size flag");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1), "checksum flag");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
        // Multithreaded output does not depend on the number of workers, so
        // the block stays byte-identical from one machine to another, but it
        // differs from single-threaded output: a library built without thread
        // support refuses the setting, and that is an error rather than a
        // block that the other host's tool would not reproduce.
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, static_cast<int>(cores)),
              "worker count");
        buffer_.resize(ZSTD_CStreamOutSize());
    }
    ~frame_writer() { ZSTD_freeCCtx(context_); }
    frame_writer(const frame_writer&) = delete;
    frame_writer& operator=(const frame_writer&) = delete;

    void write(const void* data, std::size_t n) { run(data, n, ZSTD_e_continue); }
    void finish() { run(nullptr, 0, ZSTD_e_end); }
    std::uint64_t compressed_bytes() const { return written_; }

private:
    void check(std::size_t result, const char* what) {
        if (ZSTD_isError(result)) {
            throw tool_error(std::string("Zstandard rejected the ") + what + ": " +
                             ZSTD_getErrorName(result));
        }
    }
    void run(const void* data, std::size_t n, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in{data, n, 0};
        for (;;) {
            ZSTD_outBuffer o{buffer_.data(), buffer_.size(), 0};
            const std::size_t left = ZSTD_compressStream2(context_, &o, &in, mode);
            check(left, "input");
            if (o.pos != 0) out_(buffer_.data(), o.pos);
            // The compressor buffers whole jobs, so what it has compressed,
            // not what was read, tells how far the work is.
            if (progress_) progress_(ZSTD_getFrameProgression(context_).consumed);
            written_ += o.pos;
            const bool done = mode == ZSTD_e_end ? left == 0 : in.pos == in.size;
            if (done) return;
        }
    }

    const block_sink& out_;
    const progress_sink& progress_;
    ZSTD_CCtx* context_;
    std::vector<unsigned char> buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace

void checksum_file(const std::string& path, std::uint32_t& crc, std::uint64_t& size) {
    file_ptr f = open_for_reading(path);
    std::vector<unsigned char> buffer(io_chunk);
    uLong value = crc32(0L, Z_NULL, 0);
    size = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
        if (n > 0) {
            value = crc32_z(value, buffer.data(), n);
            size += n;
        }
        if (n < buffer.size()) {
            if (std::ferror(f.get())) throw tool_error("cannot read " + in_quotes(path));
            break;
        }
    }
    crc = static_cast<std::uint32_t>(value);
}

std::vector<unsigned char> encode_entry_header(const std::u16string& name, std::uint64_t size,
                                               std::uint32_t stored_checksum) {
    std::vector<unsigned char> out;
    out.reserve(2 * name.size() + 2 + 12);
    for (char16_t u : name) {
        out.push_back(static_cast<unsigned char>(u & 0xFF));
        out.push_back(static_cast<unsigned char>(u >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    unsigned char fields[12];
    payload_format::put_u64_le(fields, size);
    payload_format::put_u32_le(fields + 8, stored_checksum);
    out.insert(out.end(), fields, fields + sizeof fields);
    return out;
}

std::uint64_t index_length(const std::vector<folder_entry>& entries) {
    std::uint64_t length = 2;  // the terminator
    for (const folder_entry& e : entries) length += 2 * e.name.size() + 2 + 12;
    return length;
}

void write_block_to(const std::vector<folder_entry>& entries, int level, const block_sink& out,
                    std::vector<unsigned char>* index, const progress_sink& progress) {
    if (index != nullptr) index->clear();
    out(payload_format::magic, payload_format::magic_size);
    frame_writer frame(out, level, progress);
    std::vector<unsigned char> buffer(io_chunk);
    for (const folder_entry& e : entries) {
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        checksum_file(e.disk_path, crc, size);
        const auto header =
            encode_entry_header(e.name, size, payload_format::entry_checksum_from_crc(crc));
        frame.write(header.data(), header.size());
        if (index != nullptr) index->insert(index->end(), header.begin(), header.end());
        // Second pass: the checksum has to precede the data in the stream.
        // The data are summed again as they are copied: a file rewritten in
        // place between the passes keeps its size, and only its sum tells.
        file_ptr f = open_for_reading(e.disk_path);
        std::uint64_t copied = 0;
        uLong copied_crc = crc32(0L, Z_NULL, 0);
        for (;;) {
            const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), f.get());
            if (n > 0) {
                if (copied + n > size) break;
                frame.write(buffer.data(), n);
                copied_crc = crc32_z(copied_crc, buffer.data(), n);
                copied += n;
            }
            if (n < buffer.size()) break;
        }
        if (std::ferror(f.get()) || copied != size ||
            static_cast<std::uint32_t>(copied_crc) != crc) {
            throw tool_error("the file changed while it was packed: " + in_quotes(e.disk_path));
        }
    }
    const unsigned char terminator[2] = {0, 0};
    frame.write(terminator, sizeof terminator);
    if (index != nullptr) index->insert(index->end(), terminator, terminator + sizeof terminator);
    frame.finish();
    unsigned char tail[payload_format::tail_size];
    payload_format::put_tail(tail, frame.compressed_bytes());
    out(tail, sizeof tail);
}

std::uint64_t total_file_bytes(const std::vector<folder_entry>& entries) {
    std::uint64_t total = 0;
    for (const folder_entry& e : entries) {
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(path_from_utf8(e.disk_path), ec);
        if (!ec) total += size;
    }
    return total;
}

void write_block(const std::vector<folder_entry>& entries, const std::string& out_path, int level,
                 const progress_sink& progress) {
    write_file_atomically(out_path, [&](std::FILE* out) {
        write_block_to(
            entries, level, [&](const void* data, std::size_t n) { write_all(out, data, n); },
            nullptr, progress);
    });
}

std::vector<unsigned char> index_of_block(const std::string& block_path) {
    std::error_code ec;
    const std::uint64_t length = fs::file_size(path_from_utf8(block_path), ec);
    file_ptr f(open_file(block_path, "rb"));
    if (ec || !f) return {};
    std::vector<unsigned char> index;
    try {
        check_block_ends(f.get(), block_path, 0, length, in_quotes(block_path));
        block_stream s(f.get(), block_path, 0, length);
        block_entry e;
        while (s.next_entry(e)) {
            if (e.problem != entry_names::problem::none) return {};
            const std::vector<unsigned char> header =
                encode_entry_header(e.name, e.size, e.checksum);
            index.insert(index.end(), header.begin(), header.end());
            s.copy_entry_data(e, nullptr, {});
        }
        s.expect_end();
    } catch (const tool_error&) {
        return {};
    }
    index.push_back(0);
    index.push_back(0);
    return index;
}
