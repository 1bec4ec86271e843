// Host-side commands behind ./fenwix pack and ./fenwix build.
#include "tools/build_command.h"
#include "tools/packer.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef FENWIX_DEFAULT_KIT
#define FENWIX_DEFAULT_KIT ""
#endif

namespace {

const char usage[] =
    "usage:\n"
    "  fenwix pack APP_DIR -o BLOCK [--main RELPATH] [--level N]\n"
    "  fenwix build (APP_DIR | --block BLOCK) -o OUT.exe [--main RELPATH] [--level N]\n"
    "               [--product NAME] [--company NAME] [--version A.B.C.D] [--template TEXT]\n"
    "               [--icon FILE.ico]\n";

int parse_level(const std::string& text) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 1 || v > 22) {
        throw tool_error("--level " + text + " is not a whole number from 1 to 22");
    }
    return static_cast<int>(v);
}

build_options parse(const std::vector<std::string>& args, bool building) {
    build_options o;
    bool have_output = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw tool_error(a + " needs a value");
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
    // Case folding of file names follows Unicode, not just ASCII.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "pack") {
            const build_options o = parse(args, false);
            write_block(list_application_folder(o.app_dir, o.main_relpath), o.output, o.level);
        } else if (command == "build") {
            const char* kit = std::getenv("FENWIX_KIT");
            run_build(parse(args, true), kit && *kit ? kit : FENWIX_DEFAULT_KIT);
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
