#include "tools/inspect/contents.h"

#include "format/block.h"
#include "format/command_line.h"
#include "format/entry_walk.h"
#include "format/index.h"
#include "format/values_section.h"
#include "tools/host/host_platform.h"
#include "tools/pack/packer.h"
#include "tools/image/pe_image.h"

#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Enough for the headers of any image the builder writes; parse_pe_headers
// refuses a section table that lies beyond it.
constexpr std::size_t head_read_size = 64 * 1024;
// The header and the four texts of a values section (a template is at most
// 4,095 units); a section claiming more is damaged, and is not read into memory.
constexpr std::uint64_t max_values_header_size = 64 << 20;
// Compressed bytes read from the file at once, and entry data handled at once.
constexpr std::size_t input_chunk_size = 1 << 16;
constexpr std::size_t data_chunk_size = 1 << 16;

struct file_closer {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Characters a listing must not print as they are: controls would break the
// one-line-per-entry output, and the bidirectional marks, embeddings,
// overrides and isolates would show a name in another order than its own
// (a program whose name reads as a picture's).
bool needs_escape(char16_t u) {
    return u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x061C || u == 0x200E || u == 0x200F ||
           (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

// Text from the file as a listing or a message shows it, each character
// above escaped as a backslash, 'u' and four hex digits. A backslash stays
// as it is, the level separator.
std::string shown(const std::u16string& text) {
    std::string out;
    std::size_t plain = 0;  // where the run of units shown as they are starts
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !needs_escape(text[i])) continue;
        out += utf16_to_utf8(text.substr(plain, i - plain));
        plain = i + 1;
        if (i == text.size()) break;
        char escaped[7];
        std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(text[i]));
        out += escaped;
    }
    return out;
}

std::string hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(v));
    return text;
}

// The launcher file, checked down to the payload block's frame boundaries.
struct launcher_file {
    std::string path;
    file_ptr file;
    std::uint64_t size = 0;
    std::size_t checksum_offset = 0;  // of the image's CheckSum field
    std::uint32_t stored_checksum = 0;
    std::u16string texts[values_section::text_count];
    std::uint64_t block_start = 0;  // file offset of "QJX"
    std::uint64_t block_length = 0;
    std::vector<unsigned char> index;  // empty when the launcher has none
    // The launch line, when the launcher has one.
    bool has_launch = false;
    bool start_in_app_folder = false;
    bool quick_check = false;
    std::uint32_t kept_versions = 0;  // 0: every version stays
    std::vector<std::u16string> fixed_arguments, variables;
};

std::u16string text_at(const unsigned char* data, values_section::text_view t) {
    std::u16string text;
    for (std::size_t u = 0; u < t.units; ++u) {
        text += static_cast<char16_t>(values_section::read_le(data + t.offset + 2 * u, 2));
    }
    return text;
}

void read_at(const launcher_file& f, std::uint64_t offset, unsigned char* out, std::size_t n) {
    if (!seek_file(f.file.get(), offset) || std::fread(out, 1, n, f.file.get()) != n) {
        throw tool_error("cannot read " + in_quotes(f.path) + " (was it changed while read?)");
    }
}

// Checks the block's "QJX", its zero field and its trailer.
void check_block_ends(const launcher_file& f, const std::string& what) {
    unsigned char magic[payload_format::magic_size];
    if (f.block_length < sizeof magic) {
        throw tool_error(what + ": the payload block does not start with QJX");
    }
    read_at(f, f.block_start, magic, sizeof magic);
    if (std::memcmp(magic, payload_format::magic, sizeof magic) != 0) {
        throw tool_error(what + ": the payload block does not start with QJX");
    }
    // The zero field and the trailer fix where the frame ends.
    constexpr std::size_t tail_size =
        payload_format::zero_field_size + payload_format::trailer_size;
    unsigned char tail[tail_size];
    if (f.block_length < payload_format::magic_size + tail_size) {
        throw tool_error(what + ": the payload block is too short to hold a frame");
    }
    read_at(f, f.block_start + f.block_length - tail_size, tail, tail_size);
    if (payload_format::get_u32_le(tail) != 0 ||
        payload_format::get_u64_le(tail + payload_format::zero_field_size) !=
            f.block_length - payload_format::trailer_size) {
        throw tool_error(what + ": the payload block's end does not match its length");
    }
}

launcher_file open_launcher(const std::string& path) {
    launcher_file f;
    f.path = path;
    const std::string what = in_quotes(path);
    std::error_code ec;
    const fs::path host_path = path_from_utf8(path);
    if (!fs::is_regular_file(host_path, ec)) {
        throw tool_error(what + ": " + (fs::exists(host_path, ec) ? "not a file" : "no such file"));
    }
    const std::uint64_t file_size = fs::file_size(host_path, ec);
    if (ec) throw tool_error("cannot read " + what + ": " + ec.message());
    f.file.reset(open_file(path, "rb"));
    if (!f.file) throw tool_error("cannot read " + what + ": " + std::strerror(errno));

    std::vector<unsigned char> head(
        static_cast<std::size_t>(file_size < head_read_size ? file_size : head_read_size));
    read_at(f, 0, head.data(), head.size());
    const pe_headers headers = parse_pe_headers(head.data(), head.size(), file_size, what);
    f.size = file_size;
    f.checksum_offset = checksum_field_offset(headers);
    f.stored_checksum =
        static_cast<std::uint32_t>(values_section::read_le(head.data() + f.checksum_offset, 4));
    const pe_section* section = find_section(headers, values_section::section_name);
    if (section == nullptr) {
        throw tool_error(what + ": no .fenwix section (not a launcher made by fenwix build)");
    }
    const auto not_values = [&]() { return tool_error(what + ": the .fenwix section is damaged"); };
    if (section->virtual_size > section->raw_size ||
        section->raw_offset + static_cast<std::uint64_t>(section->virtual_size) > file_size ||
        section->virtual_size < values_section::header_size) {
        throw not_values();
    }

    // values_section::parse looks only below the block offset; reading no
    // further keeps the read bounded by the section and by the cap.
    unsigned char header[values_section::header_size];
    read_at(f, section->raw_offset, header, sizeof header);
    std::uint64_t needed = values_section::read_le(header + 8, 8);
    if (needed > section->virtual_size) needed = section->virtual_size;
    if (needed < values_section::header_size) needed = values_section::header_size;
    if (needed > max_values_header_size) throw not_values();
    std::vector<unsigned char> values(static_cast<std::size_t>(needed));
    read_at(f, section->raw_offset, values.data(), values.size());
    values_section::layout layout{};
    if (!values_section::parse(values.data(), section->virtual_size, layout)) throw not_values();
    for (std::size_t t = 0; t < values_section::text_count; ++t) {
        f.texts[t] = text_at(values.data(), layout.texts[t]);
    }
    if (layout.launch_length != 0) {
        const values_section::launch_line launch =
            values_section::read_launch(values.data(), layout);
        f.has_launch = true;
        f.start_in_app_folder = (launch.flags & values_section::start_in_app_folder) != 0;
        f.quick_check = (launch.flags & values_section::quick_check) != 0;
        f.kept_versions = launch.flags >> values_section::kept_versions_shift;
        std::size_t cursor = launch.first_text;
        for (std::uint32_t i = 0; i < launch.argument_count + launch.variable_count; ++i) {
            (i < launch.argument_count ? f.fixed_arguments : f.variables)
                .push_back(text_at(values.data(),
                                   values_section::next_launch_text(values.data(), cursor)));
        }
    }

    f.index.assign(
        values.begin() + static_cast<std::ptrdiff_t>(layout.index_offset),
        values.begin() + static_cast<std::ptrdiff_t>(layout.index_offset + layout.index_length));

    // The block lies inside the section, which lies inside the file.
    f.block_start = section->raw_offset + layout.block_offset;
    f.block_length = layout.block_length;
    check_block_ends(f, what);
    return f;
}

// The entry stream, decoded from the block's frame a window at a time, as the
// launcher's reader does: neither the block nor an entry is ever held whole.
class entry_stream {
public:
    explicit entry_stream(launcher_file& f)
        : file_(f),
          context_(ZSTD_createDCtx()),
          input_(input_chunk_size),
          output_(ZSTD_DStreamOutSize()) {
        if (context_ == nullptr) throw tool_error("cannot create the Zstandard decoder");
        // The launcher's decoder keeps zstd's default limit, which is this
        // one (2^27 + 1 bytes); set here so a library default can never differ.
        const std::size_t rc =
            ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, payload_format::frame_window_log);
        if (ZSTD_isError(rc)) {
            ZSTD_freeDCtx(context_);
            throw tool_error("cannot limit the Zstandard decoder's window");
        }
        next_offset_ = f.block_start + payload_format::magic_size;
        input_left_ = f.block_length - payload_format::magic_size -
                      payload_format::zero_field_size - payload_format::trailer_size;
    }
    ~entry_stream() { ZSTD_freeDCtx(context_); }
    entry_stream(const entry_stream&) = delete;
    entry_stream& operator=(const entry_stream&) = delete;

    // Exactly n bytes of the entry stream, or a tool_error.
    void read(unsigned char* out, std::size_t n) {
        while (n > 0) {
            if (out_pos_ == out_size_ && !decode_more()) {
                throw damaged("the entry stream ends before its terminator");
            }
            const std::size_t take = std::min(n, out_size_ - out_pos_);
            std::memcpy(out, output_.data() + out_pos_, take);
            out_pos_ += take;
            out += take;
            n -= take;
        }
    }

    // After the terminator: the frame must end there, exactly at the zero field.
    void expect_end() {
        if (out_pos_ != out_size_ || decode_more()) {
            throw damaged("data follow the entry stream's terminator");
        }
        if (frame_done_ != 0) throw damaged("the compressed frame is cut short");
        if (in_.pos != in_.size || input_left_ != 0) {
            throw damaged("bytes follow the compressed frame inside the block");
        }
    }

    tool_error damaged(const std::string& reason) const {
        return tool_error(in_quotes(file_.path) + ": the payload is damaged: " + reason);
    }

private:
    // Decodes the next piece into the output window; false when the frame
    // has ended or its bytes are used up with nothing more to give.
    bool decode_more() {
        for (;;) {
            if (in_.pos == in_.size && input_left_ > 0) {
                const std::size_t n = static_cast<std::size_t>(
                    input_left_ < input_.size() ? input_left_ : input_.size());
                read_at(file_, next_offset_, input_.data(), n);
                next_offset_ += n;
                input_left_ -= n;
                in_ = ZSTD_inBuffer{input_.data(), n, 0};
            }
            if (frame_done_ == 0 || (in_.pos == in_.size && !output_full_)) return false;
            ZSTD_outBuffer o{output_.data(), output_.size(), 0};
            const std::size_t rc = ZSTD_decompressStream(context_, &o, &in_);
            if (ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge) {
                throw damaged("the frame needs a window above 2^27 + 1 bytes");
            }
            if (ZSTD_isError(rc)) throw damaged(ZSTD_getErrorName(rc));
            frame_done_ = rc;
            output_full_ = o.pos == o.size;
            out_pos_ = 0;
            out_size_ = o.pos;
            if (o.pos > 0) return true;
        }
    }

    launcher_file& file_;
    ZSTD_DCtx* context_;
    std::vector<unsigned char> input_;
    std::vector<unsigned char> output_;
    ZSTD_inBuffer in_{nullptr, 0, 0};
    std::uint64_t next_offset_ = 0;  // file offset of the frame bytes not yet read
    std::uint64_t input_left_ = 0;
    std::size_t out_pos_ = 0;
    std::size_t out_size_ = 0;
    std::size_t frame_done_ = 1;  // the decoder's last hint: 0 once the frame is complete
    bool output_full_ = false;    // the decoder may hold more output without more input
};

struct entry_header {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint32_t checksum = 0;
    entry_names::problem problem = entry_names::problem::none;  // of the name
    std::size_t number = 0;                                     // 1 for the first entry
};

// Reads the next entry's name, size and checksum, as the launcher does;
// false at the terminator.
bool next_entry(entry_stream& s, entry_header& e) {
    ++e.number;
    char16_t name[payload_format::name_buffer_units];
    entry_walk::fields header;
    const auto read = [&s](unsigned char* out, std::size_t n) { s.read(out, n); };
    switch (entry_walk::next(read, name, header)) {
        case entry_walk::step::end:
            e.name.clear();
            return false;
        case entry_walk::step::name_too_long:
            throw s.damaged("the name of entry " + std::to_string(e.number) + " is longer than " +
                            std::to_string(payload_format::max_name_units) + " UTF-16 units");
        case entry_walk::step::entry:
            break;
    }
    e.name.assign(name, header.units);
    e.size = header.size;
    e.checksum = header.checksum;
    e.problem = header.problem;
    return true;
}

// Passes the entry's data to `out` (when given) and returns their entry checksum.
std::uint32_t copy_entry_data(entry_stream& s, const entry_header& e, std::FILE* out,
                              const std::string& out_path) {
    std::vector<unsigned char> buffer(data_chunk_size);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (std::uint64_t left = e.size; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(left < buffer.size() ? left : buffer.size());
        s.read(buffer.data(), n);
        crc = crc32_z(crc, buffer.data(), n);
        if (out != nullptr && std::fwrite(buffer.data(), 1, n, out) != n) {
            throw tool_error("cannot write " + in_quotes(out_path) + ": " + std::strerror(errno));
        }
        left -= n;
    }
    return payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc));
}

std::string entry_label(const entry_header& e) {
    return "entry " + std::to_string(e.number) + " " + in_quotes(shown(e.name));
}

std::string mismatch_text(const entry_header& e, std::uint32_t computed) {
    return entry_label(e) + ": the data do not match the stored checksum (stored " +
           hex8(e.checksum) + ", data give " + hex8(computed) + ")";
}

void write_entries(launcher_file& f, const fs::path& root) {
    entry_stream s(f);
    entry_header e;
    while (next_entry(s, e)) {
        const std::string problem = entry_names::describe(e.problem);
        if (!problem.empty()) throw tool_error("cannot extract " + entry_label(e) + ": " + problem);
        bool exact = true;
        const std::string name = utf16_to_utf8(e.name, &exact);
        if (!exact) {
            throw tool_error("cannot extract " + entry_label(e) +
                             ": the name holds an unpaired UTF-16 surrogate");
        }
        // The name rule leaves only plain levels: none is empty, "." or "..",
        // absolute or a drive, so the path stays below root.
        fs::path target = root;
        for (std::size_t start = 0; start <= name.size();) {
            std::size_t end = name.find('\\', start);
            if (end == std::string::npos) end = name.size();
            target /= path_from_utf8(name.substr(start, end - start));
            start = end + 1;
        }
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        const std::string target_text = path_to_utf8(target);
        if (ec) {
            throw tool_error("cannot create a folder for " + entry_label(e) + ": " + ec.message());
        }
        file_ptr out(open_file(target_text, "wb"));
        if (!out) {
            throw tool_error("cannot write " + in_quotes(target_text) + ": " +
                             std::strerror(errno));
        }
        const std::uint32_t computed = copy_entry_data(s, e, out.get(), target_text);
        if (std::fclose(out.release()) != 0) {
            throw tool_error("cannot write " + in_quotes(target_text) + ": " +
                             std::strerror(errno));
        }
        if (computed != e.checksum) throw tool_error(mismatch_text(e, computed));
    }
    s.expect_end();
}

}  // namespace

std::vector<unsigned char> index_of_block(const std::string& block_path) {
    launcher_file f;
    f.path = block_path;
    std::error_code ec;
    f.block_length = fs::file_size(path_from_utf8(block_path), ec);
    f.file.reset(open_file(block_path, "rb"));
    if (ec || !f.file) return {};
    std::vector<unsigned char> index;
    try {
        check_block_ends(f, in_quotes(block_path));
        entry_stream s(f);
        entry_header e;
        while (next_entry(s, e)) {
            if (e.problem != entry_names::problem::none) return {};
            const std::vector<unsigned char> header =
                encode_entry_header(e.name, e.size, e.checksum);
            index.insert(index.end(), header.begin(), header.end());
            copy_entry_data(s, e, nullptr, {});
        }
        s.expect_end();
    } catch (const tool_error&) {
        return {};
    }
    index.push_back(0);
    index.push_back(0);
    return index;
}

void run_list(const std::string& launcher) {
    launcher_file f = open_launcher(launcher);
    // Collected first and printed whole, so a damaged file prints only its error.
    struct line {
        std::string size, checksum, name;
    };
    std::vector<line> lines;
    std::size_t size_width = 4;  // "size"
    entry_stream s(f);
    entry_header e;
    while (next_entry(s, e)) {
        copy_entry_data(s, e, nullptr, {});
        lines.push_back({std::to_string(e.size), hex8(e.checksum), shown(e.name)});
        size_width = std::max(size_width, lines.back().size.size());
    }
    s.expect_end();

    static const char* const labels[values_section::text_count] = {"template", "company", "product",
                                                                   "version"};
    std::string out;
    for (std::size_t t = 0; t < values_section::text_count; ++t) {
        out += std::string(labels[t]) + std::string(10 - std::strlen(labels[t]), ' ') +
               shown(f.texts[t]) + "\n";
    }
    if (f.has_launch) {
        // The fixed arguments as the launcher writes them into the command line.
        std::u16string line;
        for (const std::u16string& argument : f.fixed_arguments) {
            if (!line.empty()) line += u' ';
            command_line::quote_argument(argument.c_str(), [&](char16_t u) {
                line += u;
                return true;
            });
        }
        out +=
            "arguments " + (f.fixed_arguments.empty() ? std::string("none") : shown(line)) + "\n";
        for (const std::u16string& variable : f.variables)
            out += "variable  " + shown(variable) + "\n";
        out += std::string("folder    ") + (f.start_in_app_folder ? "app" : "caller") + "\n";
        out += std::string("check     ") + (f.quick_check ? "quick" : "content") + "\n";
        out += "versions  " +
               (f.kept_versions == 0 ? std::string("all kept")
                                     : std::to_string(f.kept_versions) + " kept") +
               "\n";
    }
    out += "block     " + std::to_string(f.block_length) + " bytes, " +
           std::to_string(lines.size()) + (lines.size() == 1 ? " entry" : " entries") + "\n";
    const long long indexed = payload_index::count_entries(f.index.data(), f.index.size());
    out += "index     " +
           (f.index.empty() ? std::string("none")
            : indexed < 0   ? std::string("damaged")
                            : std::to_string(indexed) + (indexed == 1 ? " entry" : " entries")) +
           "\n\n";
    const auto row = [&](const std::string& size, const std::string& checksum,
                         const std::string& name) {
        out += std::string(size_width - size.size(), ' ') + size + "  " + checksum + "  " + name +
               "\n";
    };
    row("size", "checksum", "name");
    for (const line& l : lines) row(l.size, l.checksum, l.name);
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

namespace {

// Why the index, when there is one, does not describe entry e (or, for a
// null e, the end of the stream); empty when it does.
std::string index_disagreement(const launcher_file& f, std::size_t& pos, const entry_header* e) {
    if (f.index.empty()) return {};
    payload_index::entry i{};
    const payload_index::step step = payload_index::next(f.index.data(), f.index.size(), pos, i);
    if (step == payload_index::step::bad) return "the index is damaged";
    if (e == nullptr) {
        return step == payload_index::step::end ? std::string() : "the index lists more entries";
    }
    if (step == payload_index::step::end) return "the index ends before " + entry_label(*e);
    std::u16string name;
    for (std::size_t u = 0; u < i.units; ++u) {
        name += static_cast<char16_t>(payload_index::name_unit(i, u));
    }
    if (name != e->name || i.size != e->size || i.checksum != e->checksum) {
        return "the index does not describe " + entry_label(*e);
    }
    return {};
}

// Why the image's own checksum, which fenwix build writes, does not match
// the file (a launcher patched after it was built), or empty.
std::string image_checksum_problem(const launcher_file& f) {
    pe_checksum_stream sum;
    std::vector<unsigned char> buffer(input_chunk_size);
    for (std::uint64_t offset = 0; offset < f.size;) {
        const std::size_t n = static_cast<std::size_t>(
            f.size - offset < buffer.size() ? f.size - offset : buffer.size());
        read_at(f, offset, buffer.data(), n);
        // The sum reads its own field as zero.
        for (std::size_t k = 0; k < 4; ++k) {
            if (f.checksum_offset + k >= offset && f.checksum_offset + k < offset + n) {
                buffer[static_cast<std::size_t>(f.checksum_offset + k - offset)] = 0;
            }
        }
        pe_checksum_feed(sum, buffer.data(), n);
        offset += n;
    }
    const std::uint32_t computed = pe_checksum_finish(sum.sum, f.size);
    if (computed == f.stored_checksum) return {};
    return "the image's checksum does not match the file (stored " + hex8(f.stored_checksum) +
           ", the file gives " + hex8(computed) + "): it was changed after it was built";
}

}  // namespace

int run_verify(const std::string& launcher) {
    launcher_file f = open_launcher(launcher);
    entry_stream s(f);
    entry_header e;
    std::size_t index_pos = 0;
    const auto fail = [](const std::string& text) {
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
        return 1;
    };
    while (next_entry(s, e)) {
        // A name the launcher would refuse makes the entry as bad as wrong data.
        const std::string problem = entry_names::describe(e.problem);
        const std::uint32_t computed = copy_entry_data(s, e, nullptr, {});
        if (!problem.empty() || computed != e.checksum) {
            return fail(problem.empty() ? mismatch_text(e, computed)
                                        : entry_label(e) + ": " + problem);
        }
        // A launcher trusts its index to skip the block: it must be exact.
        const std::string index_problem = index_disagreement(f, index_pos, &e);
        if (!index_problem.empty()) return fail(index_problem);
    }
    s.expect_end();
    const std::string index_problem = index_disagreement(f, index_pos, nullptr);
    if (!index_problem.empty()) return fail(index_problem);
    // Last, so that a damaged entry or index, which changes the sum too, is
    // named as what it is.
    const std::string checksum_problem = image_checksum_problem(f);
    if (!checksum_problem.empty()) return fail(checksum_problem);
    const std::size_t count = e.number - 1;
    std::fputs(
        (std::to_string(count) + (count == 1 ? " entry" : " entries") + ", all checksums match\n")
            .c_str(),
        stdout);
    std::fflush(stdout);
    return 0;
}

namespace {

// Moves every entry of `from` into `to`, which holds nothing of the same
// name; on any failure moves back what was moved and throws.
void move_entries(const fs::path& from, const fs::path& to, const std::string& shown_to) {
    std::error_code ec;
    std::vector<fs::path> names;
    for (fs::directory_iterator it(from, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        names.push_back(it->path().filename());
    }
    if (ec) throw tool_error("cannot read " + in_quotes(path_to_utf8(from)) + ": " + ec.message());
    std::size_t moved = 0;
    try {
        for (; moved < names.size(); ++moved) {
            const fs::path destination = to / names[moved];
            // A rename would replace a file that arrived since the folder was
            // found empty.
            if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found) {
                throw tool_error(in_quotes(path_to_utf8(destination)) +
                                 " appeared while the entries were written");
            }
            fs::rename(from / names[moved], destination, ec);
            if (ec) {
                throw tool_error("cannot move " + in_quotes(path_to_utf8(names[moved])) + " into " +
                                 in_quotes(shown_to) + ": " + ec.message());
            }
        }
    } catch (...) {
        while (moved > 0) {
            --moved;
            fs::rename(to / names[moved], from / names[moved], ec);
        }
        throw;
    }
}

}  // namespace

void run_extract(const std::string& launcher, const std::string& folder) {
    fs::path target = path_from_utf8(folder);
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(target, ec);
    const bool existing = status.type() != fs::file_type::not_found;
    if (existing) {
        if (ec) throw tool_error("cannot inspect " + in_quotes(folder) + ": " + ec.message());
        if (!fs::is_directory(status) || !fs::is_empty(target, ec) || ec) {
            throw tool_error(in_quotes(folder) + " already exists and is not an empty folder");
        }
    } else {
        // A trailing separator would leave no name to put the temporary folder beside.
        while (!target.has_filename() && target.has_relative_path()) target = target.parent_path();
    }

    // Every check that needs no writing comes before the first write.
    launcher_file f = open_launcher(launcher);
    // An existing folder stays the folder it is: it may be the current one
    // of the user's shell, or a mount point, which a rename would replace or
    // leave. Its temporary folder is made inside it (the one place known to
    // be writable, on the same file system), and the entries move up from
    // there once every one is complete. A new folder is made beside its
    // place and renamed into it.
    const std::string temporary =
        create_temporary_folder_beside(path_to_utf8(existing ? target / "entries" : target));
    const fs::path temporary_path = path_from_utf8(temporary);
    try {
        write_entries(f, temporary_path);
        if (existing) {
            move_entries(temporary_path, target, folder);
            fs::remove(temporary_path, ec);
            if (ec) {
                throw tool_error("cannot remove " + in_quotes(temporary) + ": " + ec.message());
            }
        } else {
            fs::rename(temporary_path, target, ec);
            if (ec) {
                throw tool_error("cannot rename " + in_quotes(temporary) + " to " +
                                 in_quotes(folder) + ": " + ec.message());
            }
        }
    } catch (...) {
        fs::remove_all(temporary_path, ec);
        throw;
    }
}
