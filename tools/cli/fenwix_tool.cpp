// The fenwix command: pack, build, list, verify, extract. The same program
// on Linux and on Windows.
#include "tools/cli/build_command.h"
#include "tools/host/host_platform.h"
#include "tools/inspect/contents.h"
#include "tools/inspect/sbom.h"
#include "tools/pack/packer.h"
#include "tools/cli/progress.h"

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

// help_usage, help_full and help_build: made at build time from
// tools/cli/help.txt, the one text the man page fenwix(1) is made from too.
#include "help_text.inc"

bool asks_for_help(const std::string& a) { return a == "--help" || a == "-h"; }

const char* const commands[] = {"build", "pack", "list", "verify", "extract", "sbom"};

// `sbom OUT.exe [-o FILE]`, the output also as --output and with `=`.
sbom_request parse_sbom_arguments(const std::vector<std::string>& args) {
    sbom_request r{};
    bool have_output = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const std::size_t equals = a.find('=');
        const std::string name = a.rfind("-", 0) == 0 ? a.substr(0, equals) : std::string();
        if (name == "-o" || name == "--output") {
            if (have_output) throw tool_error("--output given twice");
            if (equals == std::string::npos && i + 1 == args.size()) {
                throw tool_error(name + " needs a file name");
            }
            r.output = equals == std::string::npos ? args[++i] : a.substr(equals + 1);
            if (r.output.empty()) throw tool_error(name + " needs a file name");
            have_output = true;
        } else if (!name.empty()) {
            std::string message = "unknown option " + name;
            const std::string near = closest_word(name, {"--output"});
            if (!near.empty()) message += "; did you mean " + near + "?";
            throw tool_error(message);
        } else if (r.launcher.empty()) {
            r.launcher = a;
        } else {
            throw tool_error("give one OUT.exe");
        }
    }
    if (r.launcher.empty()) throw tool_error("give one OUT.exe");
    return r;
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
    // The other commands have no page of their own: the whole help describes
    // them. list, verify and extract take no option, so --help anywhere is a
    // request for it, never a file (extract would make a folder of that name).
    const bool no_options = command == "list" || command == "verify" || command == "extract";
    if ((command == "sbom" && !args.empty() && asks_for_help(args[0])) ||
        (no_options && std::any_of(args.begin(), args.end(), asks_for_help))) {
        std::fputs(help_full, stdout);
        return 0;
    }
    try {
        if (command == "pack" || command == "build") {
            const build_options o = parse_build_arguments(args, command == "build");
            progress_allow(!o.quiet && is_terminal(stderr));
            if (command == "build") {
                const build_summary summary = run_build(o);
                if (!o.quiet) std::printf("%s\n", summary_text(summary).c_str());
            } else {
                check_output(o);
                const auto entries = list_application_folder(o.app_dir, o.main_relpath, o.excludes);
                progress_start("packing", total_file_bytes(entries));
                write_block(entries, o.output, o.level, progress_reach);
                progress_finish();
            }
        } else if (command == "sbom") {
            sbom_request r = parse_sbom_arguments(args);
            r.tool_version = FENWIX_TOOL_VERSION;
            r.source_date_epoch = std::getenv("SOURCE_DATE_EPOCH");
            run_sbom(r);
        } else if (command == "list" && args.size() == 1) {
            run_list(args[0]);
        } else if (command == "verify" && args.size() == 1) {
            return run_verify(args[0]);
        } else if (command == "extract" && args.size() == 2) {
            run_extract(args[0], args[1]);
        } else if (command == "list" || command == "verify" || command == "extract") {
            throw tool_error(command == "extract" ? "give OUT.exe and DIR" : "give one OUT.exe");
        } else {
            std::string message = "unknown command " + command;
            const std::string near = closest_word(
                command, std::vector<std::string>(std::begin(commands), std::end(commands)));
            if (!near.empty()) message += "; did you mean " + near + "?";
            throw tool_error(message);
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
