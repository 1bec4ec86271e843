// What a windowed launcher (an image of the Windows GUI subsystem) shows the
// user, who has no console to read: each failure message in a dialog, and a
// progress window while a long first start unpacks. A console launcher shows
// neither; every function here does nothing in one.
//
// user32 and comctl32 are loaded only by a windowed launcher that needs them,
// so a console launcher starts without them.
#pragma once

#include <cstddef>
#include <cstdint>

// Nothing shows on a window station nobody sees (a service's, a scheduled
// task's, an SSH session's): there the failure line goes only where the
// standard handles lead, and the launcher ends at once.
//
// Shows a failure line (without its line end) in a dialog with the product name as its title and an error icon, and
// returns when the user closes it, or at once when there is no desktop.
void show_failure_dialog(const wchar_t* line);

// Something to let go of before a dialog waits for the user: the folder's
// lock, which other launchers wait for.
void release_before_dialog(void (*release)());

// At start-up: from now on a progress window may appear, once 0.5 s have
// passed and a file is being written. Its bar shows done() of total, which
// done may be asked from another thread.
void progress_window_start(std::uint64_t (*done)(), std::uint64_t total);
// A file is about to be written.
void progress_window_note_write();
// Lets the program (process `id`) bring its window to the foreground, as a
// direct start from Explorer would. Loads user32 for it: only a launcher with
// no console of its own calls it, since a console launcher that loads user32
// no longer receives logoff and shutdown events.
void allow_foreground_for(unsigned long id);

// Closes the window (or keeps it from ever appearing) and waits until it is
// gone: before the child starts, and before a failure shows.
void progress_window_close();
