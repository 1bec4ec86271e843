// The launcher's own environment variables and its own path.
//
// Variables the launcher writes (all reach the child, which inherits the
// launcher's environment):
//   FENWIX_ONEFILE_PARENT     launcher's process id, set at start-up
//   FENWIX_ONEFILE_START      system time (100 ns since 1601), set on first {TIME}
//   FENWIX_ONEFILE_TIME_US    its six-digit microsecond part, set on first {TIME_US}
//   FENWIX_ONEFILE_RANDOM     eleven random characters, set on first {RANDOM}
//   FENWIX_ONEFILE_DIRECTORY  the folder holding the launcher, set after unpacking
//   FENWIX_ORIGINAL_ARGV0     the launcher's first argument as typed, set after unpacking
// START, TIME_US and RANDOM are removed at start-up so that values inherited
// from a parent launcher are never reused.
#pragma once

#include <cstddef>

namespace env_names {
constexpr const char parent[] = "FENWIX_ONEFILE_PARENT";
constexpr const char start[] = "FENWIX_ONEFILE_START";
constexpr const char time_us[] = "FENWIX_ONEFILE_TIME_US";
constexpr const char random[] = "FENWIX_ONEFILE_RANDOM";
constexpr const char directory[] = "FENWIX_ONEFILE_DIRECTORY";
constexpr const char original_argv0[] = "FENWIX_ORIGINAL_ARGV0";
}  // namespace env_names

// Names are narrow ASCII, widened on use into a buffer of this many units.
constexpr std::size_t env_name_capacity = 40;
// The platform's limit for a value is 32,767 characters.
constexpr std::size_t env_value_capacity = 32768;
// The launcher's own path, filled once.
constexpr std::size_t own_path_capacity = 4097;

// Widens ASCII text (a variable name, a process id) one byte at a time; a byte
// that does not become exactly one unit, or text that does not fit capacity
// with its terminator, ends the process abnormally.
void widen_ascii(const char* text, wchar_t* out, std::size_t capacity);

// This process's id in decimal, widened one character at a time (what
// FENWIX_ONEFILE_PARENT holds and {PID} yields).
constexpr std::size_t process_id_text_capacity = 128;
void own_process_id_text(wchar_t (&out)[process_id_text_capacity]);

// A fresh heap copy of the value, or nullptr when the variable is unset,
// empty, or too long. Callers keep the copy until exit.
wchar_t* read_environment_variable(const char* name);
// The value into out (capacity units, terminator included) and its length;
// 0, out empty, when the variable is unset or its value does not fit.
std::size_t read_environment_value(const wchar_t* name, wchar_t* out, std::size_t capacity);
void set_environment_variable(const char* name, const wchar_t* value);
void clear_environment_variable(const char* name);

// The launcher's full path: its folder in short (8.3) form where the file
// system has one, its file name in long form. Computed on the first call; a
// path that cannot be read whole ends the process abnormally.
const wchar_t* get_own_path();

// The one reading of the launcher's own file path (GetModuleFileNameW), for
// every caller: in long form, however it was spelt when it was started (an
// 8.3 spelling from an old script or shortcut), so that what derives from it
// does not change with the spelling. Always terminated within capacity; a
// path that did not fit is there cut short, and each caller decides what a
// cut path is worth.
enum class module_path_state { whole, cut, unknown };
module_path_state read_module_path(wchar_t* out, std::size_t capacity);
