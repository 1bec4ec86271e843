// Folders known to exist, so each one a start needs is made or checked once,
// and the handles of those that files are made in.
#pragma once

#include <windows.h>

// Makes sure one folder exists. Folders known to exist are remembered (the
// user's profile folder from the start, and every one made or checked), so
// each is created at most once per run; a drive or a share ("C:", "\\server\share")
// is never created.
bool ensure_folder(const wchar_t* folder);

// Whether folder was made, checked or known to exist in this run.
bool is_known_folder(const wchar_t* folder);

// Adds folder to the folders known to exist, which ensure_folder never
// makes (the user's profile folder, where most target folders lie, from the
// start).
void remember_folder(const wchar_t* folder);

// The handle kept for folder by keep_checked_folder, or INVALID_HANDLE_VALUE.
HANDLE checked_folder_handle(const wchar_t* folder);

// Keeps `handle`, of folder opened and checked for files to be made in it,
// until close_checked_folders: files of one folder need not come one after
// another. False (the handle stays the caller's) when it cannot be kept.
bool keep_checked_folder(const wchar_t* folder, HANDLE handle);

// Closes every handle kept, so that the folders can be unlocked or removed.
void close_checked_folders();
