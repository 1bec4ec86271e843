// What `fenwix build` and `fenwix pack` are asked to do: one struct, made
// from the command line and completed with its defaults before any work
// starts, so that every later step is a function of it.
#pragma once

#include "tools/pack/packer.h"

#include <cstdint>
#include <string>
#include <vector>

// The texts a launcher carries whose defaults come from the main program
// (tools/cli/build_defaults.h); bit (1 << text) of build_options::given says
// the command line gave it.
enum build_text : unsigned {
    text_product,
    text_company,
    text_version,
    text_description,
    text_copyright,
    text_template,
    build_text_count
};

struct build_options {
    std::string app_dir;     // pack this folder, or
    std::string block_path;  // embed this block as it is
    std::string output;
    std::string main_relpath;
    int level = default_compression_level;
    // The version resource's texts and the template: what the command line
    // gave, the rest filled in by apply_build_defaults.
    std::string product, company, version, description, copyright, extraction_template;
    unsigned given = 0;
    std::vector<std::string> excludes;  // --exclude patterns, in order
    std::string icon_path;              // an .ico to use instead of the default icon
    std::string stub_path;              // a launcher stub to use instead of the one inside the tool
    bool windowed = false;  // a GUI program: no console; failures and progress in windows
    bool quiet = false;     // no progress line, no summary
    // The launch line: fixed arguments before the user's (--arg), variables
    // set for the program (--env NAME=VALUE), both in the order given, and
    // whether it starts in the folder it was unpacked into (--cwd app).
    std::vector<std::string> fixed_arguments;
    std::vector<std::string> variables;
    bool start_in_app_folder = false;
    // Trust a file whose size, time and id are as recorded (--quick-check).
    bool quick_check = false;
    // Versions kept side by side, the running one among them (--keep-versions);
    // 0 keeps every version.
    std::uint32_t keep_versions = 0;
    // The index of the entries that lets a start with every file right skip
    // decoding: made from the packed entries for a folder, none for a ready
    // block (`--index auto`). For tests, `none` leaves it out of a folder's
    // launcher, and `decoded` makes it for a ready block by decoding it.
    enum class index_choice { automatic, none, decoded } index = index_choice::automatic;
};

// The options of `fenwix build` (building) or `fenwix pack`, as given;
// throws tool_error with one line for anything it cannot take, suggesting
// the option or value meant where one is close.
build_options parse_build_arguments(const std::vector<std::string>& args, bool building);

// The option or word of `known` closest to `typed`, when one is close enough
// to be a slip of the keyboard; empty otherwise.
std::string closest_word(const std::string& typed, const std::vector<std::string>& known);
