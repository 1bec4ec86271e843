// The child process and the console events passed on to it.
#pragma once

#include <windows.h>

// Registered for console events: gives a running child the grace period, then
// lets the system's next handler end the launcher (always returns FALSE).
BOOL WINAPI console_control_handler(DWORD event);

// Waits up to the grace period for a recorded child, terminates it if it is
// still running, and closes its handle. Does nothing when no child is recorded.
void cleanup_child();
