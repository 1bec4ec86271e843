// Versions side by side, for launchers built to keep N of them: each
// version's folder gets a marker once it is wholly unpacked, and old
// versions beside it are removed while the program runs (the rules are in
// format/version_folders.h).
//
// A folder is in use while a launcher runs a program from it: each such
// launcher holds the folder open without sharing its deletion, from before
// it unpacks until it exits (lock_target_folder); and while any of its
// programs or libraries is open or mapped (a program started without its
// launcher). A removal holds the parent folder open throughout, opens each
// folder relative to it shared with no one, so it gets a free folder or
// none, and checks by its handle that it is the real folder listed; while
// it holds it, it renames it whole to rubbish, so a launcher of that
// version that starts then finds no folder and unpacks afresh. Only then is
// the rubbish emptied, each entry through a handle of its own (never
// through a link), the marker last but one, so that rubbish an interrupted
// removal left is still known as ours and finished by a later start
// (unpack/remove_by_handle.h).
#pragma once

// After a complete unpack, under the folder's lock: writes the folder's
// marker unless it is there as it should be. `folder` is the target folder
// in the extended form.
void mark_version_folder(const wchar_t* folder);

// Once the program has started: removes old versions beside `folder` on a
// background thread at low priority, keeping `keep` - 1 others.
void remove_old_versions_in_background(const wchar_t* folder, unsigned keep);

// Once the program has ended: the removal stops before its next file.
void stop_removing_versions();
