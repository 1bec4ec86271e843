// The launcher's index (format/index.h), read once into the entries that the
// full check (index_check.h) and the quick check (quick_check.h) share: each
// entry's name, size and stored checksum, pointing into the index bytes.
#pragma once

#include "format/index.h"

#include <cstddef>

struct index_entries {
    const unsigned char* bytes;  // the index itself, which lives until exit
    std::size_t length;
    payload_index::entry* entries;  // heap, one per entry, in stream order
    std::size_t count;              // 0: no index, or not well formed, or no memory for it
};

// Reads the index of `length` bytes (nullptr when the launcher has none).
// False, with count 0, when there is nothing to check by: no index, one
// that is not well formed or has no entry, or no memory for the entries.
bool read_index_entries(const unsigned char* index, std::size_t length, index_entries& out);

// folder (folder_units long) + '\' + the entry's name into out (capacity
// path_capacity); false when that does not fit.
bool index_entry_path(const wchar_t* folder, std::size_t folder_units,
                      const payload_index::entry& e, wchar_t* out);
