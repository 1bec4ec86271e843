#include "tools/pack/packer.h"

#include "format/block.h"
#include "format/names.h"
#include "format/upper_case.h"
#include "tools/host/host_platform.h"
#include "tools/pack/block_file.h"
#include "tools/image/pe_image.h"

#include <zlib.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression, stable in practice since 1.3
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t io_chunk = 1 << 20;

// Windows compares file names without regard to case, by its own table and
// not the builder's locale; two names that differ only in case would unpack
// over each other.
std::u16string case_folded(const std::u16string& name) {
    std::u16string out = name;
    for (char16_t& u : out) {
        if (u < 0xD800 || u > 0xDFFF) u = upper_case_unit(u);
    }
    return out;
}

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

// The launcher can only start a 64-bit Windows program; anything else would
// build fine and fail on every start on the user's machine.
void check_main_program(const folder_entry& main) {
    file_ptr f = open_for_reading(main.disk_path);
    std::vector<unsigned char> head(program_head_size);
    head.resize(std::fread(head.data(), 1, head.size(), f.get()));
    if (std::ferror(f.get())) throw tool_error("cannot read " + in_quotes(main.disk_path));
    const std::string problem = program_image_problem(head.data(), head.size());
    if (!problem.empty()) {
        throw tool_error("the main program " + in_quotes(utf16_to_utf8(main.name)) +
                         " is not a 64-bit Windows program: " + problem);
    }
}

}  // namespace

std::string name_problem(const std::u16string& name) {
    return entry_names::describe(entry_names::check(name.data(), name.size()));
}

std::vector<folder_entry> list_application_folder(const std::string& app_dir,
                                                  const std::string& main_relpath) {
    std::error_code ec;
    const fs::path root = path_from_utf8(app_dir);
    const fs::file_status root_status = fs::status(root, ec);
    if (ec || !fs::is_directory(root_status)) {
        throw tool_error("not a folder: " + in_quotes(app_dir));
    }
    std::vector<folder_entry> files;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec) throw tool_error("cannot read folder " + in_quotes(app_dir) + ": " + ec.message());
    // The folder the next step reads: a step that fails turns the iterator
    // into the end one, so its error is checked before the end is, or the
    // listing would stop short without a word.
    fs::path reading = root;
    for (;;) {
        if (ec) {
            throw tool_error("cannot read folder " + in_quotes(path_to_utf8(reading)) + ": " +
                             ec.message());
        }
        if (it == fs::recursive_directory_iterator()) break;
        const fs::directory_entry& entry = *it;
        const fs::path relative = entry.path().lexically_relative(root);
        // Names are read as UTF-8 on both hosts (UTF-16 on Windows turned into
        // UTF-8), so both give the same entry names and the same messages.
        const std::string shown = path_to_utf8(relative);
        const fs::file_status st = entry.symlink_status(ec);
        if (ec) {
            throw tool_error("cannot inspect " + in_quotes(path_to_utf8(entry.path())) + ": " +
                             ec.message());
        }
        if (fs::is_symlink(st)) {
            throw tool_error("symbolic links are not packed: " + in_quotes(shown) +
                             " (copy the file or folder it points to into the folder instead)");
        }
        if (fs::is_directory(st)) {
            // The next step opens this folder, which is what fails (no
            // access, no file descriptor left); a failure to read on where
            // this folder ends is rare enough to be named as this one's.
            reading = entry.path();
            it.increment(ec);
            continue;
        }
        if (!fs::is_regular_file(st)) {
            throw tool_error("not a regular file or folder: " + in_quotes(shown));
        }
        std::u16string name;
        for (const fs::path& part : relative) {
            const std::string part_text = path_to_utf8(part);
            // A backslash inside a Linux file name would read as a folder level.
            if (part_text.find('\\') != std::string::npos) {
                throw tool_error(
                    "cannot pack " + in_quotes(shown) +
                    ": the name holds a character that Windows file names cannot hold");
            }
            if (!name.empty()) name += u'\\';
            name += utf8_to_utf16(part_text, "the name " + in_quotes(shown));
        }
        const std::string problem = name_problem(name);
        if (!problem.empty()) {
            throw tool_error("cannot pack " + in_quotes(shown) + ": " + problem);
        }
        files.push_back({std::move(name), path_to_utf8(entry.path())});
        reading = entry.path().parent_path();
        it.increment(ec);
    }
    if (files.empty()) throw tool_error("the folder holds no files: " + in_quotes(app_dir));

    std::sort(files.begin(), files.end(),
              [](const folder_entry& a, const folder_entry& b) { return a.name < b.name; });

    const auto case_clash = [](const std::u16string& a, const std::u16string& b) {
        return tool_error("names differ only in case, which Windows cannot keep apart: " +
                          in_quotes(utf16_to_utf8(a)) + " and " + in_quotes(utf16_to_utf8(b)));
    };
    std::vector<std::pair<std::u16string, std::size_t>> folded;
    for (std::size_t i = 0; i < files.size(); ++i)
        folded.push_back({case_folded(files[i].name), i});
    std::sort(folded.begin(), folded.end());
    for (std::size_t i = 1; i < folded.size(); ++i) {
        if (folded[i].first == folded[i - 1].first) {
            throw case_clash(files[folded[i - 1].second].name, files[folded[i].second].name);
        }
    }
    // A file whose name is a folder's but for case would be that folder on
    // Windows, so one of the two could never be unpacked. Two folders that
    // differ only in case just merge into one there, which harms nothing.
    // Folding works unit by unit, so a folded prefix is a prefix's folding.
    std::map<std::u16string, std::u16string> folders;  // folded name, the name as found
    for (const auto& [name, i] : folded) {
        for (std::size_t at = name.find(u'\\'); at != std::u16string::npos;
             at = name.find(u'\\', at + 1)) {
            folders.emplace(name.substr(0, at), files[i].name.substr(0, at));
        }
    }
    for (const auto& [name, i] : folded) {
        const auto folder = folders.find(name);
        if (folder != folders.end()) throw case_clash(folder->second, files[i].name);
    }

    std::size_t main_index = files.size();
    if (!main_relpath.empty()) {
        std::string normalized = main_relpath;
        std::replace(normalized.begin(), normalized.end(), '/', '\\');
        const std::u16string wanted = utf8_to_utf16(normalized, "--main");
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (files[i].name == wanted) main_index = i;
        }
        if (main_index == files.size()) {
            throw tool_error("--main " + in_quotes(main_relpath) + " is not a file in " +
                             in_quotes(app_dir));
        }
    } else {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::u16string& n = files[i].name;
            if (n.find(u'\\') != std::u16string::npos || n.size() < 4) continue;
            std::u16string ext = case_folded(n.substr(n.size() - 4));
            if (ext != u".EXE") continue;
            if (main_index != files.size()) {
                throw tool_error("several .exe files at the top of " + in_quotes(app_dir) +
                                 "; choose the main program with --main");
            }
            main_index = i;
        }
        if (main_index == files.size()) {
            throw tool_error("no .exe file at the top of " + in_quotes(app_dir) +
                             "; name the main program with --main");
        }
    }
    check_main_program(files[main_index]);
    std::rotate(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(main_index),
                files.begin() + static_cast<std::ptrdiff_t>(main_index) + 1);
    return files;
}

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
