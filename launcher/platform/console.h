// The console the launcher shares with its program: the standard handles,
// whether it has a console or a console window, and its event handler. What
// an event means, and what the handles become, the rooms decide.
#pragma once

#include <windows.h>

struct standard_handles {
    HANDLE input;
    HANDLE output;
    HANDLE error;
};

// The launcher's standard handles, asked in the order input, output, error.
standard_handles read_standard_handles();

// Whether the launcher is attached to a console at all: a headless or pseudo
// console (a service's, ssh's) counts, though it has no window.
bool attached_to_console();

// Whether the launcher's console has a window of its own.
bool has_console_window();

// Adds `handler` to those the console calls on Ctrl+C, close, logoff and
// shutdown.
bool listen_for_console_events(PHANDLER_ROUTINE handler);
