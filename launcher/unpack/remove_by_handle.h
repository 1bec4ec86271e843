// Removal from handles, never by path: the other half of confinement.
// Whatever is removed is opened relative to a folder held open (the
// versions' parent, or a folder already opened and checked), without
// following a link at its place, checked by its handle, and deleted through
// that handle; a link found on the way is deleted as a link. A name swapped
// for a link at any moment leads nowhere: no path is ever resolved again.
#pragma once

#include "launcher/unpack/removal_rules.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

// A name holds at most 255 units on the file systems Windows writes.
constexpr std::size_t listed_name_capacity = 256;

// One name of a folder's listing, with what the listing said of it.
struct listed_entry {
    wchar_t name[listed_name_capacity];
    std::uint64_t id;
    DWORD attributes;
};

// The next name of the folder open as `folder` (its handle keeps the place;
// `restart` starts from the first), "." and ".." left out. False at the end,
// or when the folder cannot be listed.
bool next_listed(HANDLE folder, listed_entry& out, bool restart);

// NtCreateFile of `name` relative to the open folder `folder` (names
// compared ignoring case): every open or make of a name in a held folder
// goes through it. `created` (may be null) receives what the call did.
NTSTATUS create_in_folder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG attributes,
                          ULONG share, ULONG disposition, ULONG options, HANDLE& out,
                          ULONG_PTR* created = nullptr);

// Opens `name` in the folder `folder`, never following a link at its place
// (a link opens as itself). INVALID_HANDLE_VALUE on failure, GetLastError
// telling why.
HANDLE open_in_folder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, DWORD share,
                      ULONG options);

// What a handle holds: its attributes and id (two small questions: under
// Wine, GetFileInformationByHandle costs ten times as much).
bool handle_facts(HANDLE handle, DWORD& attributes, std::uint64_t& id);

// Whether `entry`, opened as `name` in `folder`, is there: its final name
// is the folder's and its own. A system that follows a link whatever the
// open asks (Wine, for the links of its host) gives the final name of what
// the link leads to instead, and nothing is done through such a handle.
bool is_where_named(HANDLE entry, HANDLE folder, const wchar_t* name);

// The folder that holds the candidates, open for the whole removal, and its
// final name (every link on the way resolved: the path to it is the user's
// choice). `final_name` holds final_name_capacity units.
constexpr std::size_t final_name_capacity = 8192;
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

// Deletes what `handle` has open (opened with DELETE): POSIX semantics
// where the system has them (the name goes at once, even while a scanner
// holds the file), the classic disposition elsewhere, a read-only file's
// attribute cleared first.
bool delete_by_handle(HANDLE handle);

// Deletes `name` at the top of `folder` (not a folder; a link as a link);
// true when it is gone or was never there.
bool delete_in_folder(HANDLE folder, const wchar_t* name);

// Makes a new file `name` at the top of `folder`, shared with no one; a
// name that exists (a file, a folder, a link) is never opened.
HANDLE make_in_folder(HANDLE folder, const wchar_t* name, ACCESS_MASK access);

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
