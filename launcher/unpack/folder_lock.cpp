#include "launcher/unpack/folder_lock.h"

#include "launcher/errors.h"
#include "launcher/fixed_buffer.h"
#include "launcher/path_forms.h"
#include "launcher/unpack/confine.h"
#include "launcher/unpack/known_folders.h"

#include <windows.h>

namespace {

HANDLE target_lock = nullptr;  // held from lock_target_folder to unlock_target_folder
HANDLE target_hold = nullptr;  // held until exit when the folder is held while in use

// How long a start waits for another that unpacks into the same folder:
// long enough for the first start of a very large application on a slow
// disk, and not for ever, whatever keeps the other one from going on.
constexpr DWORD lock_wait_ms = 60 * 1000;
constexpr DWORD lock_poll_ms = 50;

}  // namespace

namespace {

// After an open that failed with `code`: whether to try again. A missing
// folder is made once; a folder or lock another start holds is waited for,
// at most lock_wait_ms, then the start ends with the unpack failure. Any
// other failure: not to be had.
bool try_again(DWORD code, bool folder_missing, const wchar_t* folder, bool& folder_made,
               DWORD& waited) {
    if (folder_missing && !folder_made) {
        wchar_t made[path_capacity];
        wide_copy_or_abort(made, path_capacity, folder);
        make_folder_chain(made);
        folder_made = true;
        return true;
    }
    if (code != ERROR_SHARING_VIOLATION) return false;
    if (waited >= lock_wait_ms) fail_unpack(ERROR_TIMEOUT);
    Sleep(lock_poll_ms);
    waited += lock_poll_ms;
    return true;
}

}  // namespace

bool lock_target_folder(const wchar_t* folder, bool hold_while_in_use) {
    wchar_t lock_path[path_capacity];
    if (!wide_copy(lock_path, path_capacity, folder) ||
        !wide_append(lock_path, path_capacity, L"\\.fenwix-lock")) {
        return false;
    }
    bool folder_made = false;
    // The folder itself, open without sharing its deletion: no one can
    // rename or remove it while this start runs from it. A start that
    // removes old versions holds it so, shared with no one, for as long as it
    // takes to rename it; then the name is free and the folder is made anew.
    for (DWORD waited = 0; hold_while_in_use;) {
        const HANDLE hold =
            CreateFileW(folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        const DWORD code = GetLastError();
        if (hold != INVALID_HANDLE_VALUE) {
            target_hold = hold;
            break;
        }
        const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        if (!try_again(code, missing, folder, folder_made, waited)) break;  // go on without
    }
    for (DWORD waited = 0;;) {
        // Made once, then only opened; reading is enough to keep others out.
        bool created = false;
        const HANDLE lock = make_or_open(lock_path, GENERIC_READ, GENERIC_READ, created);
        const DWORD code = GetLastError();
        if (lock != INVALID_HANDLE_VALUE) {
            target_lock = lock;
            // Another start that made the lock first (in a folder either
            // made) has been in it.
            return folder_made && created;
        }
        // No lock to be had: go on without.
        if (!try_again(code, code == ERROR_PATH_NOT_FOUND, folder, folder_made, waited)) {
            return false;
        }
    }
}

void unlock_target_folder() {
    // Writing ends with the lock: the program may rename or remove the folder.
    forget_made_in();
    if (target_lock == nullptr) return;
    CloseHandle(target_lock);
    target_lock = nullptr;
}
