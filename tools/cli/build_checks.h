// What `fenwix build` refuses before it writes anything: values the launcher
// could not use on a user's machine, and an output that would destroy an
// input. Each check throws tool_error with one line.
#pragma once

#include "tools/cli/build_options.h"

#include <string>

// Four decimal numbers of at most 65535, separated by dots.
bool parse_version(const std::string& text, unsigned (&parts)[4]);

// Checks the values a launcher carries, once their defaults are in, the
// launch line's among them (its values by the template grammar, its length
// against what Windows takes).
void check_build_values(const build_options& options);

// Checks that writing the output destroys no input: an existing output must
// be a regular file (a link, a folder or a device is not replaced by one),
// and the output must lie outside the application folder (compared once
// links and ".." are resolved) and be no other input's file (--block,
// --icon, --stub). `fenwix pack` uses it too.
void check_output(const build_options& options);

// Where a launcher built with these options unpacks, as a user would write
// it: the names filled in, %LOCALAPPDATA% for {CACHE_DIR}, and what only a
// start knows ({PID}, {RANDOM}, ...) as its keyword. For a checked template.
std::string unpack_folder_shown(const build_options& options);
