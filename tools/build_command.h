// `fenwix build`: links a payload block and the build-time values with the
// launcher's precompiled code into one Windows executable. Only the values
// are generated and assembled per build; the block is included byte for byte
// by the assembler (.incbin), so even a large block embeds in seconds.
#pragma once

#include "tools/packer.h"

#include <string>

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
};

// Four decimal numbers of at most 65535, separated by dots.
bool parse_version(const std::string& text, unsigned (&parts)[4]);

// Checks the values a launcher carries; throws tool_error on the first problem.
void check_build_values(const build_options& options);

// The assembler source holding the four wide strings and the block
// (.incbin of block_file, which must be a plain path the assembler can quote).
std::string values_assembly(const build_options& options, const std::string& block_file);

// The resource script: manifest, icon group and version resource, naming the
// files "launcher.manifest" and "icon.ico" (found through windres's include
// folder).
std::string resource_script(const build_options& options);

// Runs the whole build; throws tool_error and leaves no output on failure.
void run_build(const build_options& options, const std::string& kit_dir);
