#include "tools/inspect/launcher_file.h"

#include "tools/host/host_platform.h"
#include "tools/host/text.h"
#include "tools/image/pe_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Enough for the headers of any image the builder writes; parse_pe_headers
// refuses a section table that lies beyond it.
constexpr std::size_t head_read_size = 64 * 1024;
// The header and the four texts of a values section (a template is at most
// 4,095 units); a section claiming more is damaged, and is not read into memory.
constexpr std::uint64_t max_values_header_size = 64 << 20;

// Characters a listing must not print as they are: controls would break the
// one-line-per-entry output, and the bidirectional marks, embeddings,
// overrides and isolates would show a name in another order than its own
// (a program whose name reads as a picture's).
bool needs_escape(char16_t u) {
    return u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x061C || u == 0x200E || u == 0x200F ||
           (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

std::u16string text_at(const unsigned char* data, values_section::text_view t) {
    std::u16string text;
    for (std::size_t u = 0; u < t.units; ++u) {
        text += static_cast<char16_t>(values_section::read_le(data + t.offset + 2 * u, 2));
    }
    return text;
}

}  // namespace

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

void read_at(const launcher_file& f, std::uint64_t offset, unsigned char* out, std::size_t n) {
    read_file_at(f.file.get(), f.path, offset, out, n);
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
    check_block_ends(f.file.get(), f.path, f.block_start, f.block_length, what);
    return f;
}

std::string entry_label(const block_entry& e) {
    return "entry " + std::to_string(e.number) + " " + in_quotes(shown(e.name));
}

std::string mismatch_text(const block_entry& e, std::uint32_t computed) {
    return entry_label(e) + ": the data do not match the stored checksum (stored " +
           hex8(e.checksum) + ", data give " + hex8(computed) + ")";
}
