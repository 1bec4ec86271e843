// Folders known to exist, so each one a start needs is made or checked once.
#pragma once

// Adds a folder known to exist (the user's profile folder, where most
// target folders lie) to the folders ensure_folder never makes.
void know_folder(const wchar_t* folder);

// Makes sure one folder exists. Folders known to exist are remembered (the
// user's profile folder from the start, and every one made or checked), so
// each is created at most once per run; a drive or a share ("C:", "\\server\share")
// is never created.
bool ensure_folder(const wchar_t* folder);

// Whether folder was made, checked or known to exist in this run.
bool is_known_folder(const wchar_t* folder);

// Adds folder to the folders known to exist.
void remember_folder(const wchar_t* folder);
