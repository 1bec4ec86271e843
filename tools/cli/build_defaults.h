// The defaults of a launcher's names, in one place. Each text the command
// line leaves out comes from the main program's own version resource, so a
// vendor's launcher says what their program says and unpacks into a folder
// of its own; what that resource does not give follows from the other
// texts. No made-up name ever reaches a launcher.
#pragma once

#include "tools/cli/build_options.h"
#include "tools/image/version_reader.h"

#include <string>

struct build_text_default {
    const char* option;  // the option that gives the text
    std::string build_options::*field;
    const char* help;  // the default, as the help tells it
};

// One row per build_text, in its order.
extern const build_text_default build_text_defaults[build_text_count];

// The template when none is given, with a company and without one.
extern const char default_template_with_company[];
extern const char default_template_without_company[];
// The version when neither the command line nor the program gives one.
extern const char unknown_version[];

// Fills every text of `o` that the command line did not give, from `main`
// (the main program's version resource; empty for a ready block) and the
// output's file name. Throws tool_error when no product name comes of it.
void apply_build_defaults(build_options& o, const program_version& main);

// The version resource of the program at `path`; empty when it has none or
// it cannot be read (a default is never a reason to fail).
program_version read_version_of_file(const std::string& path);
