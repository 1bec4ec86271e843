// The fenwix command: pack, build, list, verify, extract. The same program
// on Linux and on Windows.
#include "tools/cli/build_command.h"
#include "format/values_section.h"
#include "tools/host/host_platform.h"
#include "tools/inspect/contents.h"
#include "tools/pack/packer.h"
#include "tools/cli/progress.h"

#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// help_usage, help_full and help_build: made at build time from
// tools/cli/help.txt, the one text the man page fenwix(1) is made from too.
#include "help_text.inc"

bool asks_for_help(const std::string& a) { return a == "--help" || a == "-h"; }

int parse_level(const std::string& text) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 1 || v > 22) {
        throw tool_error("--level " + text + " is not a whole number from 1 to 22");
    }
    return static_cast<int>(v);
}

build_options parse(const std::vector<std::string>& args, bool building, bool& quiet) {
    build_options o;
    bool have_output = false;
    // Every option with a value takes one: a second one would silently win
    // over the first, and the user would get something other than typed.
    std::set<std::string> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw tool_error(a + " needs a value");
            // --arg and --env add one value each time they are given.
            const bool repeatable = a == "--arg" || a == "--env";
            if (!repeatable && !given.insert(a == "--output" ? "-o" : a).second) {
                throw tool_error(a + " is given more than once");
            }
            return args[++i];
        };
        if (a == "-o" || a == "--output") {
            o.output = value();
            have_output = true;
        } else if (a == "--main") {
            o.main_relpath = value();
            if (o.main_relpath.empty()) throw tool_error("--main is empty");
        } else if (a == "--level") {
            o.level = parse_level(value());
        } else if (building && a == "--block") {
            o.block_path = value();
        } else if (building && a == "--product") {
            o.product = value();
        } else if (building && a == "--company") {
            o.company = value();
        } else if (building && a == "--version") {
            o.version = value();
        } else if (building && a == "--icon") {
            o.icon_path = value();
        } else if (building && a == "--template") {
            o.extraction_template = value();
        } else if (building && a == "--quick-check") {
            o.quick_check = true;
        } else if (building && a == "--keep-versions") {
            const std::string text = value();
            char* end = nullptr;
            const unsigned long n = std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || n < 1 ||
                n > values_section::max_kept_versions) {
                throw tool_error("--keep-versions " + text + " is not a whole number from 1 to " +
                                 std::to_string(values_section::max_kept_versions));
            }
            o.keep_versions = static_cast<std::uint32_t>(n);
        } else if (building && a == "--windowed") {
            o.windowed = true;
        } else if (building && a == "--arg") {
            o.fixed_arguments.push_back(value());
        } else if (building && a == "--env") {
            o.variables.push_back(value());
        } else if (building && a == "--cwd") {
            const std::string choice = value();
            if (choice != "caller" && choice != "app") {
                throw tool_error("--cwd takes caller or app, not " + choice);
            }
            o.start_in_app_folder = choice == "app";
        } else if (building && a == "--stub") {
            o.stub_path = value();
        } else if (building && a == "--index") {
            const std::string choice = value();
            if (choice == "auto") {
                o.index = build_options::index_choice::automatic;
            } else if (choice == "none") {
                o.index = build_options::index_choice::none;
            } else if (choice == "decoded") {
                o.index = build_options::index_choice::decoded;
            } else {
                throw tool_error("--index takes auto, none or decoded, not " + choice);
            }
        } else if (a == "--quiet" || a == "-q") {
            quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            throw tool_error("unknown option " + a);
        } else if (o.app_dir.empty()) {
            o.app_dir = a;
        } else {
            throw tool_error("unexpected argument " + a);
        }
    }
    if (!have_output || o.output.empty()) throw tool_error("-o OUTPUT is required");
    if (building) {
        if (o.app_dir.empty() == o.block_path.empty()) {
            throw tool_error("give either APP_DIR or --block BLOCK");
        }
        if (!o.block_path.empty() && !o.main_relpath.empty()) {
            throw tool_error("--main applies to APP_DIR, not to --block");
        }
    } else if (o.app_dir.empty()) {
        throw tool_error("APP_DIR is required");
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    // On Windows argv is in the ANSI code page; names outside it arrive only
    // through the UTF-16 command line, as UTF-8 here.
    const std::vector<std::string> arguments = utf8_arguments(argc, argv);
    if (arguments.size() < 2) {
        std::fputs(help_usage, stderr);
        return 2;
    }
    if (asks_for_help(arguments[1])) {
        std::fputs(help_full, stdout);
        return 0;
    }
    if (arguments[1] == "--version") {
        // The Zstandard version decides the bytes of every block written.
        std::printf("fenwix %s (zstd %s)\n", FENWIX_TOOL_VERSION, ZSTD_versionString());
        return 0;
    }
    const std::string command = arguments[1];
    const std::vector<std::string> args(arguments.begin() + 2, arguments.end());
    if ((command == "build" || command == "pack") && !args.empty() && asks_for_help(args[0])) {
        std::fputs(help_build, stdout);
        return 0;
    }
    try {
        bool quiet = false;
        if (command == "pack" || command == "build") {
            const build_options o = parse(args, command == "build", quiet);
            progress_allow(!quiet && is_terminal(stderr));
            if (command == "build") {
                run_build(o);
            } else {
                check_output(o);
                const auto entries = list_application_folder(o.app_dir, o.main_relpath);
                progress_start("packing", total_file_bytes(entries));
                write_block(entries, o.output, o.level, progress_reach);
                progress_finish();
            }
        } else if (command == "list" && args.size() == 1) {
            run_list(args[0]);
        } else if (command == "verify" && args.size() == 1) {
            return run_verify(args[0]);
        } else if (command == "extract" && args.size() == 2) {
            run_extract(args[0], args[1]);
        } else if (command == "list" || command == "verify" || command == "extract") {
            throw tool_error(command == "extract" ? "give OUT.exe and DIR" : "give one OUT.exe");
        } else {
            throw tool_error("unknown command " + command);
        }
    } catch (const tool_error& e) {
        std::fprintf(stderr, "fenwix %s: error: %s\n", command.c_str(), e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fenwix %s: error: %s\n", command.c_str(), e.what());
        return 1;
    }
    return 0;
}
