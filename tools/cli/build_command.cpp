#include "tools/cli/build_command.h"

#include "format/values_section.h"
#include "format/version_folders.h"
#include "tools/cli/build_defaults.h"
#include "tools/cli/progress.h"
#include "tools/host/host_platform.h"
#include "tools/image/pe_image.h"
#include "tools/image/pe_resources.h"
#include "tools/inspect/contents.h"
#include "tools/pack/packer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

// The stub, default icon and manifest the tool carries (tools/cli/embedded_files.S).
extern "C" {
extern const unsigned char fenwix_embedded_stub[], fenwix_embedded_stub_end[];
extern const unsigned char fenwix_embedded_icon[], fenwix_embedded_icon_end[];
extern const unsigned char fenwix_embedded_manifest[], fenwix_embedded_manifest_end[];
}

namespace {

// An icon or a stub is small; anything larger is the wrong file.
constexpr std::uint64_t max_small_file = 64u << 20;
constexpr std::size_t copy_chunk = 1 << 20;
// How much of a large block is written before the disk is asked to start.
constexpr std::uint64_t writeback_step = 32u << 20;

std::vector<unsigned char> embedded(const unsigned char* begin, const unsigned char* end) {
    return std::vector<unsigned char>(begin, end);
}

std::vector<unsigned char> read_small_file(const std::string& path, const std::string& what) {
    std::error_code ec;
    const fs::path p = path_from_utf8(path);
    const std::uintmax_t size = fs::file_size(p, ec);
    if (ec || !fs::is_regular_file(p, ec)) {
        throw tool_error(what + " " + in_quotes(path) + " is not a readable file");
    }
    if (size > max_small_file) throw tool_error(what + " " + in_quotes(path) + " is too large");
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    std::FILE* f = open_file(path, "rb");
    const bool ok = f != nullptr && std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != nullptr) std::fclose(f);
    if (!ok) throw tool_error("cannot read " + what + " " + in_quotes(path));
    return bytes;
}

void write_bytes(std::FILE* out, const void* data, std::size_t n) {
    if (n != 0 && std::fwrite(data, 1, n, out) != n) {
        throw tool_error(std::string("cannot write the executable: ") + std::strerror(errno));
    }
}

resource_values resources_for(const build_options& options) {
    resource_values v;
    v.company = utf8_to_utf16(options.company, "--company");
    v.product = utf8_to_utf16(options.product, "--product");
    v.version = utf8_to_utf16(options.version, "--version");
    v.description = utf8_to_utf16(options.description, "--description");
    v.copyright = utf8_to_utf16(options.copyright, "--copyright");
    parse_version(options.version, v.version_parts);
    v.manifest = embedded(fenwix_embedded_manifest, fenwix_embedded_manifest_end);
    if (options.icon_path.empty()) {
        v.icon_file = embedded(fenwix_embedded_icon, fenwix_embedded_icon_end);
    } else {
        v.icon_file = read_small_file(options.icon_path, "--icon");
        check_icon_file(v.icon_file, "--icon " + in_quotes(options.icon_path));
    }
    return v;
}

// Copies a ready block into the executable, byte for byte and unchecked.
void copy_block(const std::string& block_path, std::uint64_t size, const block_sink& out) {
    std::FILE* in = open_file(block_path, "rb");
    if (in == nullptr) {
        throw tool_error("cannot read --block " + in_quotes(block_path) + ": " +
                         std::strerror(errno));
    }
    std::vector<unsigned char> buffer(copy_chunk);
    std::uint64_t copied = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n > 0) {
            out(buffer.data(), n);
            copied += n;
            progress_add(n);
        }
        if (n < buffer.size()) break;
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed || copied != size) {
        throw tool_error("--block " + in_quotes(block_path) + " changed or could not be read");
    }
}

}  // namespace

// None when the options give no launch line, so such a launcher is made
// exactly as before launch lines existed.
std::vector<unsigned char> launch_line_bytes(const build_options& options) {
    if (options.fixed_arguments.empty() && options.variables.empty() &&
        !options.start_in_app_folder && !options.quick_check && options.keep_versions == 0) {
        return {};
    }
    std::vector<std::u16string> texts;
    for (const auto* list : {&options.fixed_arguments, &options.variables}) {
        for (const std::string& text : *list) texts.push_back(utf8_to_utf16(text, "--arg"));
    }
    std::vector<const char16_t*> data;
    std::vector<std::size_t> units;
    for (const std::u16string& text : texts) {
        data.push_back(text.c_str());
        units.push_back(text.size());
    }
    std::vector<unsigned char> out(values_section::launch_size(units.data(), units.size()));
    values_section::encode_launch(
        out.data(),
        (options.start_in_app_folder ? values_section::start_in_app_folder : 0) |
            (options.quick_check ? values_section::quick_check : 0) |
            options.keep_versions << values_section::kept_versions_shift,
        static_cast<std::uint32_t>(options.fixed_arguments.size()),
        static_cast<std::uint32_t>(options.variables.size()), data.data(), units.data());
    return out;
}

std::vector<unsigned char> values_head(const build_options& options,
                                       const std::vector<unsigned char>& index,
                                       std::uint64_t block_length) {
    const std::u16string texts[values_section::text_count] = {
        utf8_to_utf16(options.extraction_template, "--template"),
        utf8_to_utf16(options.company, "--company"),
        utf8_to_utf16(options.product, "--product"),
        utf8_to_utf16(options.version, "--version"),
    };
    const char16_t* data[values_section::text_count];
    std::size_t units[values_section::text_count];
    for (std::size_t t = 0; t < values_section::text_count; ++t) {
        data[t] = texts[t].data();
        units[t] = texts[t].size();
    }
    const std::vector<unsigned char> launch = launch_line_bytes(options);
    std::vector<unsigned char> out(
        values_section::block_offset_for(units, index.size(), launch.size()));
    values_section::encode(out.data(), data, units, index.data(), index.size(), block_length,
                           launch.data(), launch.size());
    return out;
}

build_summary run_build(build_options options) {
    const auto started = std::chrono::steady_clock::now();
    // Everything that can be refused is refused before the output is opened;
    // the listing comes first, as the defaults come from its main program.
    std::vector<folder_entry> entries;
    std::uint64_t block_file_size = 0;
    if (options.block_path.empty()) {
        entries = list_application_folder(options.app_dir, options.main_relpath, options.excludes);
        // With fixed arguments the main program is a runtime (node.exe,
        // python.exe): its names are the runtime's, which every application
        // on it would share, folder included.
        const bool runtime = !options.fixed_arguments.empty();
        apply_build_defaults(
            options, runtime ? program_version{} : read_version_of_file(entries.front().disk_path));
    } else {
        apply_build_defaults(options, {});
    }
    check_build_values(options);
    check_output(options);
    if (!options.block_path.empty()) {
        std::error_code ec;
        const fs::path p = path_from_utf8(options.block_path);
        block_file_size = fs::file_size(p, ec);
        if (ec || !fs::is_regular_file(p, ec)) {
            throw tool_error("--block " + in_quotes(options.block_path) +
                             " is not a readable file");
        }
    }
    const std::vector<unsigned char> stub =
        options.stub_path.empty() ? embedded(fenwix_embedded_stub, fenwix_embedded_stub_end)
                                  : read_small_file(options.stub_path, "--stub");
    const pe_headers headers =
        check_stub(stub, options.stub_path.empty()
                             ? std::string("the launcher stub inside fenwix is damaged")
                             : "--stub " + in_quotes(options.stub_path) + " is not a usable stub");
    const std::vector<unsigned char> resources =
        resource_section(resource_section_rva(headers), resources_for(options));

    // The index's length depends only on the names, so a stand-in of that
    // length holds its place until the packed entries fill it in.
    std::vector<unsigned char> index;
    if (options.block_path.empty() && options.index != build_options::index_choice::none) {
        index.assign(static_cast<std::size_t>(index_length(entries)), 0);
    } else if (!options.block_path.empty() &&
               options.index == build_options::index_choice::decoded) {
        index = index_of_block(options.block_path);
    }
    if (index.size() > UINT32_MAX) index.clear();  // beyond what the section can point at
    const bool pack_index = options.block_path.empty() && !index.empty();

    write_file_atomically(options.output, [&](std::FILE* out) {
        // The prefix's size does not depend on the block; its header fields
        // do, so it is written again once the block's length is known.
        std::uint64_t file_size = 0;
        std::vector<unsigned char> prefix =
            image_prefix(stub, headers, resources, values_head(options, index, block_file_size),
                         block_file_size, options.windowed, file_size);
        write_bytes(out, prefix.data(), prefix.size());

        pe_checksum_stream block_sum;
        std::uint64_t unflushed = 0;
        const block_sink sink = [&](const void* data, std::size_t n) {
            write_bytes(out, data, n);
            pe_checksum_feed(block_sum, static_cast<const unsigned char*>(data), n);
            unflushed += n;
            if (unflushed >= writeback_step) {
                start_writeback(out);
                unflushed = 0;
            }
        };
        if (options.block_path.empty()) {
            progress_start("packing", total_file_bytes(entries));
            write_block_to(entries, options.level, sink, pack_index ? &index : nullptr,
                           progress_reach);
        } else {
            progress_start("embedding", block_file_size);
            copy_block(options.block_path, block_file_size, sink);
        }
        progress_finish();

        const std::uint64_t block_length = block_sum.offset;
        prefix = image_prefix(stub, headers, resources, values_head(options, index, block_length),
                              block_length, options.windowed, file_size);
        const std::vector<unsigned char> padding(file_size - prefix.size() - block_length, 0);
        write_bytes(out, padding.data(), padding.size());

        // The block starts at an even offset, so the two sums add up.
        const std::uint32_t checksum = pe_checksum_finish(
            pe_checksum_add(block_sum.sum, prefix.data(), prefix.size()), file_size);
        values_section::write_le(prefix.data() + checksum_field_offset(headers), checksum, 4);
        if (std::fseek(out, 0, SEEK_SET) != 0) {
            throw tool_error(std::string("cannot write the executable: ") + std::strerror(errno));
        }
        write_bytes(out, prefix.data(), prefix.size());
    });
    make_executable(options.output);
    build_summary summary;
    summary.output = options.output;
    std::error_code ec;
    summary.output_bytes = fs::file_size(path_from_utf8(options.output), ec);
    summary.files = entries.size();
    summary.file_bytes = total_file_bytes(entries);
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    summary.folder = unpack_folder_shown(options);
    return summary;
}
