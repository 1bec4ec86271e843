// `fenwix build`: writes a launcher, the precompiled stub that the tool
// carries, with the resources and a values section holding the build-time
// values and the payload block. No compiler, linker or resource compiler
// runs: the image is written byte for byte (tools/image/pe_image.h), so the same
// folder and options give the same file on any host.
#pragma once

#include "tools/pack/packer.h"

#include <cstdint>
#include <string>
#include <vector>

struct build_options {
    std::string app_dir;     // pack this folder, or
    std::string block_path;  // embed this block as it is
    std::string output;
    std::string main_relpath;
    int level = default_compression_level;
    std::string extraction_template = "{CACHE_DIR}\\Orvelle";
    std::string company = "Quenmar Ltd";
    std::string product = "Orvelle";
    std::string version = "1.26.0.0";
    std::string icon_path;  // an .ico to use instead of the default icon
    std::string stub_path;  // a launcher stub to use instead of the one inside the tool
    bool windowed = false;  // a GUI program: no console; failures and progress in windows
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

// Four decimal numbers of at most 65535, separated by dots.
bool parse_version(const std::string& text, unsigned (&parts)[4]);

// Checks the values a launcher carries, the launch line's among them (its
// values by the template grammar, its length against what Windows takes);
// throws tool_error on the first problem.
void check_build_values(const build_options& options);

// Checks that writing the output destroys no input: an existing output must
// be a regular file (a link, a folder or a device is not replaced by one),
// and the output must lie outside the application folder (compared once
// links and ".." are resolved) and be no other input's file (--block,
// --icon, --stub). Throws tool_error; `fenwix pack` uses it too.
void check_output(const build_options& options);

// The values section up to the block: header, texts, launch line (none when
// the options give none) and index (none when empty) for a block of
// block_length bytes.
std::vector<unsigned char> values_head(const build_options& options,
                                       const std::vector<unsigned char>& index,
                                       std::uint64_t block_length);

// Runs the whole build; throws tool_error and leaves no output on failure.
void run_build(const build_options& options);
