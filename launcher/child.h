// The child process: its command line, its start, the wait, and the console
// events passed on to it.
//
// The child gets the launcher's own command line with the first argument
// replaced by the launcher's full long path, re-quoted so that the child's
// splitter (the rules of CommandLineToArgvW) recovers every argument
// unchanged, an empty one as "". The launch line's fixed arguments come
// between the launcher's path and the user's arguments (launch_line.h). It
// inherits the standard handles, the console and the environment, and starts
// in the launcher's current folder unless it is given another.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

constexpr std::size_t command_line_capacity = 32768;

// Appends one argument, quoted only when it holds a blank, tab, line feed,
// vertical tab or double quote. Returns false, leaving line as it was, when
// the result and its terminator would not fit in capacity units.
bool append_argument(wchar_t* line, std::size_t capacity, const wchar_t* argument);

// Joins the arguments with single blanks through append_argument; false on overflow.
bool join_arguments(wchar_t* line, std::size_t capacity, wchar_t* const* argv, int argc);

// The launcher's command line rebuilt for the child, in a process-wide buffer
// that CreateProcessW may write to. A line longer than Windows takes is the
// launch failure ERROR_FILENAME_EXCED_RANGE, never a line cut short.
wchar_t* build_child_command_line();

// Starts the program with the rebuilt command line in `folder` (nullptr: the
// launcher's own current folder) and waits for it without limit. Returns its
// exit code, or 1 when it cannot be read. A failed start (an empty program
// path included) is reported and ends the launcher.
// `after_start`, when given, runs once the program has started.
std::uint32_t run_child(const wchar_t* program_path, const wchar_t* folder = nullptr,
                        void (*after_start)() = nullptr);

// Waits up to the grace period for a recorded child, terminates it (exit
// code 0) if it is still running, and closes its handle. Does nothing when no
// child is recorded.
void cleanup_child();

// Registered for console events: Ctrl+C, Ctrl+Break, close, logoff and
// shutdown give the child its grace period. Always returns FALSE, so the
// system's next handler ends the launcher.
BOOL WINAPI console_control_handler(DWORD event);

// Puts the child in a job that ends it when the launcher ends, however the
// launcher ends; what the child starts itself is not in the job.
void tie_child_to_launcher(HANDLE child);

// For tests: records a process handle the way run_child does.
void record_child_for_cleanup(HANDLE process);
