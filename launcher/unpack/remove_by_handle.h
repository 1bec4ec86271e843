// Removal from handles, never by path: the other half of confinement.
// Whatever is removed is opened relative to a folder held open (the
// versions' parent, or a folder already opened and checked), without
// following a link at its place, checked by its handle, and deleted through
// that handle; a link found on the way is deleted as a link. A name swapped
// for a link at any moment leads nowhere: no path is ever resolved again.
#pragma once

#include "launcher/platform/files_by_handle.h"
#include "launcher/unpack/removal_rules.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Whether `entry`, opened as `name` in `folder`, is there: its final name
// is the folder's and its own. A system that follows a link whatever the
// open asks (Wine, for the links of its host) gives the final name of what
// the link leads to instead, and nothing is done through such a handle.
bool is_where_named(HANDLE entry, HANDLE folder, const wchar_t* name);

// The folder that holds the candidates, open for the whole removal, and its
// final name (every link on the way resolved: the path to it is the user's
// choice). `final_name` holds final_name_capacity units.
HANDLE hold_parent_folder(const wchar_t* path, wchar_t* final_name);

// Opens the candidate `listed` of the held parent with `access` and
// `share`, and checks by its handle that it is a real folder, with the id
// listed, whose parent is the held one (parent_final its final name).
// INVALID_HANDLE_VALUE with `fault` saying why when a check fails, or with
// fault `none` and GetLastError when it could not be opened.
HANDLE open_candidate(HANDLE parent, const wchar_t* parent_final, const listed_entry& listed,
                      ACCESS_MASK access, DWORD share, removal_rules::candidate_fault& fault);

// Opens the link `listed` of the held parent as itself, to delete it:
// INVALID_HANDLE_VALUE unless what opened is a link with the id listed.
HANDLE open_link(HANDLE parent, const listed_entry& listed);

// Whether a program or library anywhere below `folder` (a checked handle)
// is open or mapped, or cannot be vouched for: the worst found.
removal_rules::image_use images_in_use(HANDLE folder);

// Empties `folder` (a checked handle, opened with DELETE) and removes it,
// the entry named `last` at its top (the marker, which keeps unfinished
// rubbish known as ours) just before the folder itself. A folder with no
// `last` in it is removed only once empty. Links are removed as links.
// Stops before the next entry when stop() says so. True when the folder
// is gone; the handle stays the caller's to close.
bool empty_and_remove(HANDLE folder, const wchar_t* last, bool (*stop)());

// Deletes `name` at the top of `folder` (not a folder; a link as a link);
// true when it is gone or was never there.
bool delete_in_folder(HANDLE folder, const wchar_t* name);

// Deletes the file at `path` (a full path in the extended form) through a
// handle opened relative to its folder's, as delete_in_folder does: never
// what a link there leads to; true when it is gone or was never there.
// Safe beside a removal on another thread: it waits for its turn.
bool delete_file_at(const wchar_t* path);

// Taken by a thread that removes (old versions) for as long as it calls the
// functions above, so that delete_file_at on another thread takes turns
// with it: they share their buffers.
void hold_walks();
void release_walks();
