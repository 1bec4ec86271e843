#include "launcher/unpack/known_folders.h"

#include "launcher/base/busy_retry.h"
#include "launcher/base/path_forms.h"
#include "launcher/platform/owner_only.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>

namespace {

// Folders known to exist: heap copies, never freed, in a hash set that
// grows, so an application of many thousands of folders has each looked up
// at once and made or checked once.
// One folder known to exist, and a handle of it once it has been opened
// and checked for files to be made in it (nullptr until then).
struct known {
    wchar_t* path;
    HANDLE checked;
};
known* known_slots = nullptr;
std::size_t known_capacity = 0;  // a power of two, or 0
std::size_t known_count = 0;

std::size_t folder_hash(const wchar_t* folder) {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (; *folder != L'\0'; ++folder)
        h = (h ^ static_cast<std::uint16_t>(*folder)) * 1099511628211ull;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

known* known_slot(known* slots, std::size_t capacity, const wchar_t* folder) {
    std::size_t i = folder_hash(folder) & (capacity - 1);
    while (slots[i].path != nullptr && wcscmp(slots[i].path, folder) != 0) {
        i = (i + 1) & (capacity - 1);
    }
    return &slots[i];
}

bool make_room_for_one_more() {
    if (2 * (known_count + 1) <= known_capacity) return true;
    const std::size_t capacity = known_capacity == 0 ? 1024 : 2 * known_capacity;
    known* slots = static_cast<known*>(calloc(capacity, sizeof(known)));
    if (slots == nullptr) return false;
    for (std::size_t i = 0; i < known_capacity; ++i) {
        if (known_slots[i].path != nullptr) {
            *known_slot(slots, capacity, known_slots[i].path) = known_slots[i];
        }
    }
    free(known_slots);
    known_slots = slots;
    known_capacity = capacity;
    return true;
}

known* find_known(const wchar_t* folder) {
    if (known_capacity == 0) return nullptr;
    known* slot = known_slot(known_slots, known_capacity, folder);
    return slot->path != nullptr ? slot : nullptr;
}

}  // namespace

void remember_folder(const wchar_t* folder) {
    if (!make_room_for_one_more()) return;
    known* slot = known_slot(known_slots, known_capacity, folder);
    if (slot->path != nullptr) return;
    if (wchar_t* copy = _wcsdup(folder)) {
        *slot = known{copy, nullptr};
        ++known_count;
    }
}

HANDLE checked_folder_handle(const wchar_t* folder) {
    const known* slot = find_known(folder);
    return slot != nullptr && slot->checked != nullptr ? slot->checked : INVALID_HANDLE_VALUE;
}

bool keep_checked_folder(const wchar_t* folder, HANDLE handle) {
    remember_folder(folder);
    known* slot = find_known(folder);
    if (slot == nullptr || slot->checked != nullptr) return false;
    slot->checked = handle;
    return true;
}

void close_checked_folders() {
    for (std::size_t i = 0; i < known_capacity; ++i) {
        if (known_slots[i].checked != nullptr) CloseHandle(known_slots[i].checked);
        known_slots[i].checked = nullptr;
    }
}

bool is_known_folder(const wchar_t* folder) { return find_known(folder) != nullptr; }

bool ensure_folder(const wchar_t* folder) {
    if (is_known_folder(folder)) return true;
    // A drive or a share exists or it does not; it can never be created.
    const std::size_t root = root_length(folder);
    if (root != 0 && folder[root] == L'\0') return true;
    // A scanner holding the folder above for a moment is waited out.
    const bool made = retry_while_busy(
        [&] { return make_owner_only_folder(folder) || GetLastError() == ERROR_ALREADY_EXISTS; },
        is_busy_reading_error);
    if (!made) return false;
    remember_folder(folder);
    return true;
}
