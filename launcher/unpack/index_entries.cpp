#include "launcher/unpack/index_entries.h"

#include "launcher/base/fixed_buffer.h"

#include <cstdlib>
#include <cwchar>

bool read_index_entries(const unsigned char* index, std::size_t length, index_entries& out) {
    out = index_entries{index, length, nullptr, 0};
    if (index == nullptr) return false;
    const long long count = payload_index::count_entries(index, length);
    if (count <= 0) return false;
    out.entries = static_cast<payload_index::entry*>(
        calloc(static_cast<std::size_t>(count), sizeof(payload_index::entry)));
    // Without memory for the entries, the full pass does without them.
    if (out.entries == nullptr) return false;
    out.count = static_cast<std::size_t>(count);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < out.count; ++i) {
        payload_index::next(index, length, pos, out.entries[i]);
    }
    return true;
}

bool index_entry_path(const wchar_t* folder, std::size_t folder_units,
                      const payload_index::entry& e, wchar_t* out) {
    if (folder_units + 1 + e.units + 1 > path_capacity) return false;
    wmemcpy(out, folder, folder_units);
    wchar_t* name = out + folder_units;
    *name++ = L'\\';
    for (std::size_t u = 0; u < e.units; ++u) {
        name[u] = static_cast<wchar_t>(payload_index::name_unit(e, u));
    }
    name[e.units] = L'\0';
    return true;
}
