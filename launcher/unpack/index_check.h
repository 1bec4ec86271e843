// Checking the files on disk against the launcher's index (format/index.h)
// before anything is decoded. Most starts find every file right; those then
// read each file once, spread over the processor's cores, and never touch the
// decoder. When a file is missing or differs, the full pass over the stream
// follows, and the checks already made are not made again: the other threads
// go on checking the files ahead of it while it decodes.
//
// The test is the unchanged-file test of extraction: a file is right when
// its checksum (file_checksum) equals the stored one.
#pragma once

#include "launcher/unpack/index_entries.h"

#include <cstddef>
#include <cstdint>

// Checks the index's files below `folder` (both live until exit). Returns
// false, and checks nothing, when the index has no entries to check by.
bool index_check_open(const index_entries& index, const wchar_t* folder);

// Takes entry `number` as right without reading its file (the quick check
// vouches for it); before index_check_all_right.
void index_check_trust(std::size_t number);

// Checks the files until one is not right (false) or all are (true). The
// first entry's path is written to first_path (capacity path_capacity) when
// every file is right.
bool index_check_all_right(wchar_t* first_path);

// During the full pass: whether entry `number` (0 for the first), named
// `name` with this size and checksum and found at `path`, is right on disk.
// Uses the check made for it, waits for one in progress, or checks it now;
// an entry the index does not describe the same way is checked now.
bool index_check_entry_right(std::size_t number, const wchar_t* name, std::uint64_t size,
                             std::uint32_t checksum, const wchar_t* path);

// Waits for the checking threads to end.
void index_check_close();
