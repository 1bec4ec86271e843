#include "tools/inspect/contents.h"

#include "format/command_line.h"
#include "format/index.h"
#include "format/values_section.h"
#include "tools/host/text.h"
#include "tools/image/pe_image.h"
#include "tools/inspect/launcher_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Bytes of the image summed at once.
constexpr std::size_t sum_chunk_size = 1 << 16;

}  // namespace

void run_list(const std::string& launcher) {
    launcher_file f = open_launcher(launcher);
    // Collected first and printed whole, so a damaged file prints only its error.
    struct line {
        std::string size, checksum, name;
    };
    std::vector<line> lines;
    std::size_t size_width = 4;  // "size"
    block_stream s = open_block_stream(f);
    block_entry e;
    while (s.next_entry(e)) {
        s.copy_entry_data(e, nullptr, {});
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
std::string index_disagreement(const launcher_file& f, std::size_t& pos, const block_entry* e,
                               const std::vector<payload_index::frame>& frames) {
    if (f.index.empty()) return {};
    payload_index::entry i{};
    const payload_index::step step = payload_index::next(f.index.data(), f.index.size(), pos, i);
    if (step == payload_index::step::bad) return "the index is damaged";
    if (e == nullptr) {
        if (step != payload_index::step::end) return "the index lists more entries";
        // A launcher decodes each frame from where its table says it is;
        // an index from before frames were recorded has no table.
        const unsigned char* table = f.index.data() + pos;
        const long long count = payload_index::frame_count(table, f.index.size() - pos);
        if (count == 0) return {};
        bool same = static_cast<std::size_t>(count) == frames.size();
        for (std::size_t k = 0; same && k < frames.size(); ++k) {
            const payload_index::frame t = payload_index::frame_at(table, k);
            same = t.block_offset == frames[k].block_offset &&
                   t.stream_offset == frames[k].stream_offset;
        }
        return same ? std::string() : "the index's frames are not the block's";
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
    std::vector<unsigned char> buffer(sum_chunk_size);
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
    block_stream s = open_block_stream(f);
    block_entry e;
    std::size_t index_pos = 0;
    const auto fail = [](const std::string& text) {
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
        return 1;
    };
    while (s.next_entry(e)) {
        // A name the launcher would refuse makes the entry as bad as wrong data.
        const std::string problem = entry_names::describe(e.problem);
        const std::uint32_t computed = s.copy_entry_data(e, nullptr, {});
        if (!problem.empty() || computed != e.checksum) {
            return fail(problem.empty() ? mismatch_text(e, computed)
                                        : entry_label(e) + ": " + problem);
        }
        // A launcher trusts its index to skip the block: it must be exact.
        const std::string index_problem = index_disagreement(f, index_pos, &e, s.frames());
        if (!index_problem.empty()) return fail(index_problem);
    }
    s.expect_end();
    const std::string index_problem = index_disagreement(f, index_pos, nullptr, s.frames());
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
