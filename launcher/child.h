// The program: its command line, its start, the wait, and the console events
// it shares with the launcher. The aim is a program that cannot tell it was
// started through the launcher.
//
// Its command line is the launcher's full long path, quoted, then the launch
// line's fixed arguments (launch_line.h) quoted by the rules of
// CommandLineToArgvW, then the user's tail exactly as the launcher received
// it (command_line::after_program_name). It inherits the standard handles,
// the console, the environment and the priority class, gets the start the
// user made (show state, title, position, hotkey: GetStartupInfoW), and
// starts in the launcher's current folder unless it is given another.
#pragma once

#include "launcher/platform/console.h"

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

// The program's line is made in three steps, each false (line unchanged)
// when the result would not fit in capacity units: the launcher's path in
// double quotes (it never holds one), then each fixed argument after a blank,
// quoted by append_argument, then the user's tail as it is. Only after a
// fixed argument does a tail that opens with neither blank nor tab get a
// blank of its own: after the closing quote of the path it reads as it did
// after the launcher's own name.
bool start_program_line(wchar_t* line, std::size_t capacity, const wchar_t* launcher_path);
bool append_fixed_argument(wchar_t* line, std::size_t capacity, const wchar_t* argument);
bool append_user_tail(wchar_t* line, std::size_t capacity, const wchar_t* tail,
                      bool after_fixed_arguments);

// The launcher's command line rebuilt for the program, in a process-wide
// buffer that CreateProcessW may write to. A line longer than Windows takes
// is the launch failure ERROR_FILENAME_EXCED_RANGE, never a line cut short.
wchar_t* build_child_command_line();

// What CreateProcessW gets besides the line: the start info and the
// creation flags (neither a priority class nor how the job is joined).
struct program_start {
    STARTUPINFOW startup;
    DWORD creation_flags;
};

// The decision: the start the user made for the launcher (`received`, from
// GetStartupInfoW) handed on to the program with the launcher's standard
// handles. A hotkey or a monitor travels in the input handle's place, so with
// either the handles are left to the system. A console launcher that has no
// console (its parent started it detached) starts the program detached too.
program_start decide_program_start(const STARTUPINFOW& received, const standard_handles& handles,
                                   bool console_launcher_without_console);

// Starts the program with the rebuilt command line in `folder` (nullptr: the
// launcher's own current folder) and waits for it without limit. Returns its
// exit code, or 1 when it cannot be read. A failed start (an empty program
// path included) is reported and ends the launcher.
// `after_start`, when given, runs once the program has started.
std::uint32_t run_child(const wchar_t* program_path, const wchar_t* folder = nullptr,
                        void (*after_start)() = nullptr);

// What the launcher does on a console event.
enum class console_response {
    end_launcher,      // the system's next handler ends it (no program yet)
    leave_to_program,  // the program got the same event and decides
    outlast_program,   // wait for the program, then end with its exit code
};
console_response decide_console_event(DWORD event, bool program_started);

// Registered for console events, and given to the session's window
// (session_window.h) for the event a message stands for; acts on
// decide_console_event.
BOOL WINAPI console_control_handler(DWORD event);

// Windows shuts processes down from high levels to low: the launcher's is
// the lowest an application may take, so it goes after its program.
constexpr DWORD shutdown_level_after_programs = 0x100;

// Whether a path of `units` characters can be handed to CreateProcessW as
// the program (limit MAX_PATH - 1) or as its current folder (MAX_PATH - 2:
// the system adds a backslash).
enum class path_role { program, folder };
bool fits_process_start(std::size_t units, path_role role);
