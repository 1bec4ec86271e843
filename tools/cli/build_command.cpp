#include "tools/cli/build_command.h"

#include "format/command_line.h"
#include "format/template_grammar.h"
#include "format/values_section.h"
#include "format/version_folders.h"
#include "tools/host/host_platform.h"
#include "tools/pack/packer.h"
#include "tools/image/pe_image.h"
#include "tools/image/pe_resources.h"
#include "tools/cli/progress.h"

#include <cerrno>
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

// Launcher paths are built in 4,096-unit buffers: a longer template can
// never expand into one.
constexpr std::size_t max_template_units = 4095;
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

// Whether `inner` is `outer` or lies below it, both resolved.
bool lies_within(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (const fs::path& level : outer) {
        if (level.empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != level) return false;
        ++i;
    }
    return true;
}

// The builder's side of the template grammar: a template is judged by a
// stand-in of what it gives on a user's machine, with this build's own
// company, product and version and plausible values for the rest, so that
// one that could never give a full folder is refused here, not on every
// user's machine.
struct template_judge {
    std::u16string company, product, version;
    // What {APP_DIR} stands for in a launch-line value; empty in the
    // extraction template, which cannot use it.
    std::u16string app_dir;
    std::u16string stand_in;
    std::string problem;

    bool literal(char16_t unit) {
        stand_in += unit;
        return true;
    }
    std::u16string value_of(template_grammar::keyword k) const {
        using template_grammar::keyword;
        switch (k) {
            case keyword::temp:
            case keyword::home:
            case keyword::cache_dir:
                return u"C:\\Users\\user\\AppData\\Local";
            case keyword::program:
                return u"C:\\Apps\\app.exe";
            case keyword::program_base:
                return u"C:\\Apps\\app";
            case keyword::program_dir:
                return u"C:\\Apps";
            case keyword::company:
                return company;
            case keyword::product:
                return product;
            case keyword::version:
            case keyword::file_version:
            case keyword::product_version:
                return version;
            case keyword::random:
                return u"AbCdEfGhIjK";
            case keyword::app_dir:
                return app_dir;
            case keyword::pid:
            case keyword::time:
            case keyword::time_us:
            case keyword::unknown:
                break;
        }
        return u"1234";
    }
    bool keyword(const char16_t* name) {
        const template_grammar::keyword k = template_grammar::lookup_keyword(name);
        if (k == template_grammar::keyword::unknown) {
            problem = "{" + utf16_to_utf8(name) + "} is no keyword";
            return false;
        }
        if (k == template_grammar::keyword::app_dir && app_dir.empty()) {
            problem = "{" + utf16_to_utf8(name) +
                      "} is the folder this template gives; it is for --arg and --env values";
            return false;
        }
        stand_in += value_of(k);
        return true;
    }
    bool odd(template_grammar::oddity what) {
        problem = what == template_grammar::oddity::stray_close
                      ? "a '}' closes no keyword"
                      : "a '{' opens a keyword that is never closed";
        return false;
    }
};

// Judges one text by the grammar; returns its stand-in expansion or throws
// with `shown` (the option and its value) and the problem.
std::u16string judge_text(const build_options& options, const std::u16string& text,
                          const std::u16string& app_dir, const std::string& shown) {
    template_judge judge{utf8_to_utf16(options.company, "--company"),
                         utf8_to_utf16(options.product, "--product"),
                         utf8_to_utf16(options.version, "--version"),
                         app_dir,
                         {},
                         {}};
    if (!template_grammar::scan(text.c_str(), judge) && judge.problem.empty()) {
        judge.problem = "a keyword name is longer than " +
                        std::to_string(template_grammar::max_keyword_units) + " characters";
    }
    if (!judge.problem.empty()) throw tool_error(shown + ": " + judge.problem);
    return judge.stand_in;
}

// The template's stand-in folder, once it is known to be a full folder.
std::u16string check_template(const build_options& options, const std::u16string& text) {
    const std::string shown = "--template " + in_quotes(options.extraction_template);
    const std::u16string folder = judge_text(options, text, {}, shown);
    if (!template_grammar::is_full_folder_path(folder.c_str())) {
        throw tool_error(shown +
                         ": it does not give a full folder path: a drive and a folder, like "
                         "{CACHE_DIR}\\Orvelle or C:\\Apps\\Orvelle, or a share, like "
                         "\\\\server\\share, with no '.' or '..' level and no ':' but the "
                         "drive's");
    }
    return folder;
}

std::size_t quoted_units(const std::u16string& argument) {
    std::size_t units = 0;
    command_line::quote_argument(argument.c_str(), [&](char16_t) { return ++units != 0; });
    return units;
}

// A variable's name is what comes before its first "="; Windows keeps no
// empty one, and the launcher's own variables are its own.
void check_variable_name(const std::u16string& variable, const std::string& shown) {
    const std::size_t equals = variable.find(u'=');
    if (equals == std::u16string::npos) throw tool_error(shown + " is not NAME=VALUE");
    if (equals == 0) throw tool_error(shown + " has no NAME before its '='");
    for (std::size_t i = 0; i < equals; ++i) {
        if (variable[i] < 0x20 || variable[i] == 0x7F) {
            throw tool_error(shown + ": the NAME holds a control character");
        }
    }
    std::u16string prefix = variable.substr(0, std::min<std::size_t>(equals, 7));
    for (char16_t& u : prefix) u = u >= 'a' && u <= 'z' ? static_cast<char16_t>(u - 32) : u;
    if (prefix == u"FENWIX_") {
        throw tool_error(shown + ": variables named FENWIX_... belong to the launcher");
    }
}

// The launch line's values, judged by the grammar with {APP_DIR} standing
// for the template's folder, and the whole fixed part of the command line
// (a path as long as the program's, the fixed arguments and room for no user
// argument) within what Windows takes, as is every variable's value.
void check_launch_line(const build_options& options, const std::u16string& folder) {
    const std::u16string main = utf8_to_utf16(
        options.main_relpath.empty() ? std::string("app.exe") : options.main_relpath, "--main");
    std::size_t units = quoted_units(folder + u"\\" + main);
    for (const std::string& argument : options.fixed_arguments) {
        const std::string shown = "--arg " + in_quotes(argument);
        const std::u16string text = utf8_to_utf16(argument, "--arg");
        units += 1 + quoted_units(judge_text(options, text, folder, shown));
    }
    if (units > command_line::max_units) {
        throw tool_error("the --arg values make a command line of about " + std::to_string(units) +
                         " characters, more than the " + std::to_string(command_line::max_units) +
                         " Windows takes");
    }
    for (const std::string& variable : options.variables) {
        const std::string shown = "--env " + in_quotes(variable);
        const std::u16string text = utf8_to_utf16(variable, "--env");
        check_variable_name(text, shown);
        const std::u16string value = text.substr(text.find(u'=') + 1);
        if (judge_text(options, value, folder, shown).size() > command_line::max_units) {
            throw tool_error(shown + ": the value is longer than the " +
                             std::to_string(command_line::max_units) + " characters Windows takes");
        }
    }
}

// Keeping versions needs a folder per version, the same at every start of
// it, and texts a version folder's marker can hold.
void check_kept_versions(const build_options& options, const std::u16string& tmpl) {
    if (options.keep_versions == 0) return;
    using version_folders::last_level;
    const std::string shown = "--keep-versions needs a template whose last level";
    switch (version_folders::judge_last_level(tmpl.c_str())) {
        case last_level::fit:
            break;
        case last_level::no_version:
            throw tool_error(shown + " holds {VERSION}, such as {CACHE_DIR}\\{PRODUCT}\\{VERSION}");
        case last_level::changes_per_start:
            throw tool_error(shown + " holds no {PID}, {TIME}, {TIME_US} or {RANDOM}");
        case last_level::gives_a_path:
            throw tool_error(shown + " holds no keyword that gives a folder");
    }
    for (const auto& [name, value] :
         {std::pair<const char*, const std::string*>{"--product", &options.product},
          {"--company", &options.company}}) {
        if (utf8_to_utf16(*value, name).size() > version_folders::max_marker_text_units) {
            throw tool_error(std::string(name) + " is longer than the " +
                             std::to_string(version_folders::max_marker_text_units) +
                             " UTF-16 units --keep-versions can record");
        }
    }
}

}  // namespace

bool parse_version(const std::string& text, unsigned (&parts)[4]) {
    std::uint64_t value = 0;
    if (!version_folders::parse_version(text.c_str(), text.size(), value)) return false;
    for (int i = 0; i < 4; ++i) parts[i] = static_cast<unsigned>(value >> (48 - 16 * i) & 0xFFFF);
    return true;
}

void check_build_values(const build_options& options) {
    unsigned parts[4];
    if (!parse_version(options.version, parts)) {
        throw tool_error("--version " + in_quotes(options.version) +
                         " is not four numbers from 0 to 65535 joined by dots, like 1.26.0.0");
    }
    const std::u16string tmpl = utf8_to_utf16(options.extraction_template, "--template");
    if (tmpl.empty()) throw tool_error("--template is empty");
    if (tmpl.size() > max_template_units) {
        throw tool_error("--template is longer than " + std::to_string(max_template_units) +
                         " UTF-16 units");
    }
    check_launch_line(options, check_template(options, tmpl));
    check_kept_versions(options, tmpl);
    if (utf8_to_utf16(options.product, "--product").empty()) throw tool_error("--product is empty");
    for (const std::string* s :
         {&options.extraction_template, &options.company, &options.product}) {
        utf8_to_utf16(*s, "a build value");
    }
}

void check_output(const build_options& options) {
    const std::string shown = "the output " + in_quotes(options.output);
    const fs::path output = path_from_utf8(options.output);
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(output, ec);
    if (status.type() != fs::file_type::not_found) {
        if (ec) throw tool_error("cannot inspect " + shown + ": " + ec.message());
        // The finished file is renamed over the path, which would turn a
        // link's target, a pipe or a device into a plain file.
        if (!fs::is_regular_file(status)) {
            throw tool_error(shown + " exists and is not a regular file");
        }
    }
    // A folder that does not resolve is refused by the listing itself.
    const fs::path folder =
        options.app_dir.empty() ? fs::path() : fs::canonical(path_from_utf8(options.app_dir), ec);
    if (!folder.empty() && !ec) {
        // Made absolute first: a relative path whose first level does not
        // exist yet would stay relative.
        const fs::path resolved = fs::weakly_canonical(fs::absolute(output, ec), ec);
        if (ec) throw tool_error("cannot inspect " + shown + ": " + ec.message());
        if (lies_within(resolved, folder)) {
            throw tool_error(shown + " lies inside the application folder " +
                             in_quotes(options.app_dir) + ", whose files it would replace");
        }
    }
    const std::pair<const char*, const std::string*> inputs[] = {
        {"--block", &options.block_path},
        {"--icon", &options.icon_path},
        {"--stub", &options.stub_path},
    };
    for (const auto& [option, path] : inputs) {
        if (!path->empty() && fs::equivalent(path_from_utf8(*path), output, ec) && !ec) {
            throw tool_error(shown + " is the same file as " + option + " " + in_quotes(*path));
        }
    }
}

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

void run_build(const build_options& options) {
    check_build_values(options);
    check_output(options);
    const std::vector<unsigned char> stub =
        options.stub_path.empty() ? embedded(fenwix_embedded_stub, fenwix_embedded_stub_end)
                                  : read_small_file(options.stub_path, "--stub");
    const pe_headers headers =
        check_stub(stub, options.stub_path.empty()
                             ? std::string("the launcher stub inside fenwix is damaged")
                             : "--stub " + in_quotes(options.stub_path) + " is not a usable stub");
    const std::vector<unsigned char> resources =
        resource_section(resource_section_rva(headers), resources_for(options));

    // Everything that can be refused is refused before the output is opened.
    std::vector<folder_entry> entries;
    std::uint64_t block_file_size = 0;
    if (options.block_path.empty()) {
        entries = list_application_folder(options.app_dir, options.main_relpath);
    } else {
        std::error_code ec;
        const fs::path p = path_from_utf8(options.block_path);
        block_file_size = fs::file_size(p, ec);
        if (ec || !fs::is_regular_file(p, ec)) {
            throw tool_error("--block " + in_quotes(options.block_path) +
                             " is not a readable file");
        }
    }

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
}
