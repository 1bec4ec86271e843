// The checks of `fenwix build` that run before any work: the values a
// launcher carries, judged by the launcher's own grammar and limits, and the
// output, which must destroy no input.
#include "tools/cli/build_checks.h"

#include "format/command_line.h"
#include "format/template_grammar.h"
#include "format/version_folders.h"
#include "tools/cli/build_defaults.h"
#include "tools/host/host_platform.h"
#include "tools/pack/folder_listing.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Launcher paths are built in 4,096-unit buffers: a longer template can
// never expand into one.
constexpr std::size_t max_template_units = 4095;

// "; did you mean {X}?" for a name close to a keyword's, or the keywords.
std::string keyword_hint(const char16_t* name, bool app_dir_allowed) {
    std::string typed;
    for (const char16_t* p = name; *p != 0; ++p) {
        typed += static_cast<char>(*p >= u'a' && *p <= u'z' ? *p - 32 : *p < 0x80 ? *p : '?');
    }
    std::vector<std::string> known;
    std::string all;
    for (const auto& k : template_grammar::keyword_table) {
        if (k.id == template_grammar::keyword::app_dir && !app_dir_allowed) continue;
        known.push_back(k.name);
        all += std::string(all.empty() ? "" : ", ") + "{" + k.name + "}";
    }
    const std::string near = closest_word(typed, known);
    return near.empty() ? "; the keywords are " + all : "; did you mean {" + near + "}?";
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
    // For the summary of a build: folders as the user knows them
    // (%LOCALAPPDATA%), and what only a start knows as its keyword.
    bool for_display = false;

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
            problem = "{" + utf16_to_utf8(name) + "} is no keyword" +
                      keyword_hint(name, !app_dir.empty());
            return false;
        }
        if (k == template_grammar::keyword::app_dir && app_dir.empty()) {
            problem = "{" + utf16_to_utf8(name) +
                      "} is the folder this template gives; it is for --arg and --env values";
            return false;
        }
        stand_in += for_display ? shown_value_of(k, name) : value_of(k);
        return true;
    }
    std::u16string shown_value_of(template_grammar::keyword k, const char16_t* name) const {
        using template_grammar::keyword;
        switch (k) {
            case keyword::cache_dir:
                return u"%LOCALAPPDATA%";
            case keyword::home:
                return u"%USERPROFILE%";
            case keyword::temp:
                return u"%TEMP%";
            case keyword::company:
            case keyword::product:
            case keyword::version:
            case keyword::file_version:
            case keyword::product_version:
                return value_of(k);
            default:
                return u"{" + std::u16string(name) + u"}";
        }
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
                         {},
                         false};
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
    if (!template_grammar::is_full_folder_path(folder.c_str()) &&
        (options.given & (1u << text_template)) == 0) {
        // The template is the default: the names it holds are what cannot be a folder.
        throw tool_error("the default template " + options.extraction_template +
                         " gives no usable folder with company " + in_quotes(options.company) +
                         " and product " + in_quotes(options.product) +
                         " (a name Windows cannot hold as a folder); give --company and "
                         "--product, or --template");
    }
    if (!template_grammar::is_full_folder_path(folder.c_str())) {
        throw tool_error(shown +
                         ": it does not give a full folder path: a drive and a folder, like "
                         "{CACHE_DIR}\\{PRODUCT} or C:\\Apps\\Tool, or a share, like "
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
std::string unpack_folder_shown(const build_options& options) {
    template_judge judge{utf8_to_utf16(options.company, "--company"),
                         utf8_to_utf16(options.product, "--product"),
                         utf8_to_utf16(options.version, "--version"),
                         {},
                         {},
                         {},
                         true};
    const std::u16string text = utf8_to_utf16(options.extraction_template, "--template");
    template_grammar::scan(text.c_str(), judge);
    return utf16_to_utf8(judge.stand_in);
}

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
