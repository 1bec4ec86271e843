// The lock that makes launchers unpacking into one folder take turns.
#pragma once

// Launchers that unpack into the same folder at the same moment take turns:
// each holds a lock while it checks and unpacks, so a child never starts
// while another launcher still writes its files. The lock is a file in the
// folder, ".fenwix-lock", held open with no sharing; so it holds across
// sessions (a service and the desktop of one user), between machines that
// share the folder, and whatever spelling led to the folder. It is waited
// for at most 60 s, then the unpack failure (ERROR_TIMEOUT) ends the start.
// The lock is a real file or nothing starts: it is opened without following
// a link, and a link or a folder in its place is removed as what it is and
// the lock made anew; any other failure to take it (a read-only disk) ends
// the start with the open failure naming the lock's path.
// Returns true when the folder is new: it was not there, and this start made
// the lock in it, so no other start has been in it and every file is missing.
// With hold_while_in_use, the folder is also held open until exit without
// sharing its deletion, so that no launcher removing old versions can take
// it away while its program runs (unpack/versions.h).
bool lock_target_folder(const wchar_t* folder, bool hold_while_in_use = false);
void unlock_target_folder();
