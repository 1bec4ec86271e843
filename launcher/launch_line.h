// The launch line a vendor gave at build time: fixed arguments put before the
// user's, variables set for the program, and the folder it starts in. It is
// how an application on a runtime starts: "node.exe" with the fixed argument
// "{APP_DIR}\app\main.js". A launcher built without one has no fixed arguments, sets no
// variable and starts the program in the caller's folder.
//
// Every value is template text: its keywords ({APP_DIR} among them) are
// expanded at start. A variable's value also takes "%NAME%" from the
// launcher's environment as it is at that moment (so a variable may build
// on one set before it); a missing variable gives nothing, "%%" gives one
// "%", and a "%" with no closing one is kept as it is. Only the vendor's own
// text is looked at for "%": what a keyword gives is copied as it is.
#pragma once

#include <cstddef>
#include <cstdint>

// Expands a launch-line value into output (capacity units, terminator
// included); with_variables adds the "%NAME%" rule.
enum class expansion { done, too_long, failed };  // failed: a keyword could not be expanded
expansion expand_launch_value(wchar_t* output, std::size_t capacity, const wchar_t* text,
                              bool with_variables);

// The fixed arguments, in order, as they are stored (not expanded).
struct launch_text_cursor {
    std::size_t offset;  // of the next text's length field in the values section
    std::uint32_t left;
};
launch_text_cursor fixed_arguments();
// The next text, or nullptr when none is left.
const wchar_t* next_launch_text(launch_text_cursor& cursor);

// Sets every variable of the launch line in the launcher's environment, which
// the program inherits; each is traced. A value that cannot be expanded ends
// the start with the template message.
void set_launch_variables();

// Whether the program starts in the folder it was unpacked into.
bool starts_in_app_folder();

// Whether the launcher was built with the quick check (unpack/quick_check.h).
bool uses_quick_check();

// How many versions are kept side by side, the running one among them; 0
// keeps every version (unpack/versions.h).
unsigned kept_versions();
