// Files and folders by handle: the system calls that open, make, list, ask
// about and delete a name relative to a folder held open, never through a
// path that could be resolved again. The rooms above decide what may be
// touched (confinement, removal); this layer only acts.
//
// One caller at a time: the main thread while no other thread works on
// files, then the removal walks, which take turns through their own lock;
// the replies of the system land in this layer's one state.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// A name holds at most 255 units on the file systems Windows writes.
constexpr std::size_t listed_name_capacity = 256;

// The object names of open files (\??\C:\... under Wine,
// \Device\HarddiskVolume3\... on Windows) may be longer than any path.
constexpr std::size_t final_name_capacity = 8192;

// One name of a folder's listing, with what the listing said of it.
struct listed_entry {
    wchar_t name[listed_name_capacity];
    std::uint64_t id;
    DWORD attributes;
};

// The object's own name of what a handle has open, every link on the way
// resolved (the name GetFinalPathNameByHandleW starts from, asked for
// directly: Wine's gives up on paths over 260 characters); `out` holds
// final_name_capacity units.
bool final_name_of(HANDLE handle, wchar_t* out);

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

// Makes a new file `name` at the top of `folder`, shared with no one; a
// name that exists (a file, a folder, a link) is never opened.
HANDLE make_in_folder(HANDLE folder, const wchar_t* name, ACCESS_MASK access);

// What a handle holds: its attributes and id (two small questions: under
// Wine, GetFileInformationByHandle costs ten times as much).
bool handle_facts(HANDLE handle, DWORD& attributes, std::uint64_t& id);

// Deletes what `handle` has open (opened with DELETE): POSIX semantics
// where the system has them (the name goes at once, even while a scanner
// holds the file), the classic disposition elsewhere, a read-only file's
// attribute cleared first.
bool delete_by_handle(HANDLE handle);
