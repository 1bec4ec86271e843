// Confinement: nothing below the target folder is ever written or created
// through a link, and nothing outside it through a name below it. Its other
// half, removal from handles, is in remove_by_handle.h.
#pragma once

#include <windows.h>

// Keeps every write below folder (the target folder, which must stay in
// place until exit): from now on nothing is written or created through a
// link (symbolic link or junction) below it. Each folder created or entered
// below it, and each file opened for writing, must have the final path (all
// links resolved) that the target folder's own final path and its name
// give; a link that leads elsewhere, or nowhere, is refused. The target
// folder itself, and the folders above it, may be links: that is the
// user's choice. Reading through a link to compare checksums is harmless
// and stays allowed.
void confine_writes_to(const wchar_t* folder);

// The attributes an existing file keeps when it must be rewritten: without
// read-only, which keeps it from being opened for writing, nor hidden and
// system, which make replacing it fail; FILE_ATTRIBUTE_NORMAL when none is
// left.
unsigned long attributes_for_rewriting(unsigned long attributes);

// Creates every missing folder above path; true when the folder that would
// hold path exists or was created (and, below the confined folder, is
// where its name says).
bool create_parent_folders(const wchar_t* path);

// The part of path below the confined folder, or nullptr when it is not
// below it (or nothing is confined).
const wchar_t* below_confined(const wchar_t* path);

// Opens path for writing without following a link at its place; a file
// that is there is emptied only once it is known to be where its name says
// (relative is below_confined(path)). Nobody else may write it meanwhile.
// INVALID_HANDLE_VALUE on failure, GetLastError telling why.
HANDLE open_for_writing(const wchar_t* path, const wchar_t* relative);

// Makes folder (a path_capacity buffer, cut and restored on the way) and
// every missing folder above it, with no check of where they lead.
bool make_folder_chain(wchar_t* folder);

// Closes the folders kept open for the files made in them, so that they can
// be unlocked or removed.
void forget_made_in();
