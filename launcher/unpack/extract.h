// Writing the entries of the payload to disk, and the unchanged-file test that
// makes every start after the first one cheap: a file whose checksum already
// matches is read, never opened for writing.
#pragma once

#include <cstddef>
#include <cstdint>

// Brings the file at path into the state the entry describes and advances the
// payload stream by exactly stored_size bytes.
void unpack_entry(const wchar_t* path, std::uint64_t stored_size, std::uint32_t stored_checksum);

// The same, once the unchanged-file test has been made: a file up to date is
// not opened for writing, and its data are read and dropped.
void unpack_checked_entry(const wchar_t* path, std::uint64_t stored_size, bool up_to_date);

// The entry checksum of the file at path (CRC-32, 0 replaced by 1), or 0 when
// there is no readable file. An existing empty file has checksum 1, like an
// empty entry, so it is not rewritten on every start. The file is read
// through a fixed buffer rather than mapped: under Wine, mapping a file costs
// several round trips to the server and a fault per page, which made a start
// that checks every file twice as slow; reading is as fast as it is natively.
std::uint32_t file_checksum(const wchar_t* path);

// The same through a buffer of checksum_buffer_size bytes, for threads other
// than the main one (file_checksum uses the main thread's buffer).
constexpr std::size_t checksum_buffer_size = 256 * 1024;
std::uint32_t file_checksum_with(const wchar_t* path, unsigned char* buffer);

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

// Adds a folder known to exist (the user's profile folder, where most
// target folders lie) to the folders ensure_folder never makes.
void know_folder(const wchar_t* folder);

// Makes sure one folder exists. Folders known to exist are remembered (the
// user's profile folder from the start, and every one made or checked), so
// each is created at most once per run; a drive or a share ("C:", "\\server\share")
// is never created.
bool ensure_folder(const wchar_t* folder);

// Launchers that unpack into the same folder at the same moment take turns:
// each holds a lock while it checks and unpacks, so a child never starts
// while another launcher still writes its files. The lock is a file in the
// folder, ".fenwix-lock", held open with no sharing; so it holds across
// sessions (a service and the desktop of one user), between machines that
// share the folder, and whatever spelling led to the folder. It is waited
// for at most 60 s, then the unpack failure (ERROR_TIMEOUT) ends the start.
// A lock that cannot be made (a read-only disk) is skipped.
// Returns true when the folder is new: it was not there, and this start made
// the lock in it, so no other start has been in it and every file is missing.
// With hold_while_in_use, the folder is also held open until exit without
// sharing its deletion, so that no launcher removing old versions can take
// it away while its program runs (unpack/versions.h).
bool lock_target_folder(const wchar_t* folder, bool hold_while_in_use = false);
void unlock_target_folder();
