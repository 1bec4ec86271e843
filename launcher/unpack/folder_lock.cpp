#include "launcher/unpack/folder_lock.h"

#include "launcher/base/errors.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/path_forms.h"
#include "launcher/unpack/confine.h"
#include "launcher/unpack/known_folders.h"
#include "launcher/platform/owner_only.h"
#include "launcher/unpack/remove_by_handle.h"
#include "launcher/base/busy_retry.h"
#include "launcher/base/trace.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus();

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

namespace {

constexpr wchar_t lock_name[] = L".fenwix-lock";
// Tries at removing what stands in the lock's place, lock_poll_ms apart:
// starts at once may each try, and find the others' work half done (a
// folder one of them removed stays, to the others' opens, until the last
// handle to it is closed); a thing that stays (held open, or put back)
// fails the start within two seconds.
constexpr int max_replaced = 40;
// What opening a folder as a file gives.
constexpr NTSTATUS status_file_is_a_directory = static_cast<NTSTATUS>(0xC00000BA);
// What opening a name another start is removing, or has removed, gives.
constexpr NTSTATUS status_delete_pending = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS status_name_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS status_no_such_file = static_cast<NTSTATUS>(0xC000000F);

// What another start that is removing a folder in the lock's place leaves
// for a moment: waited for as a start holding the lock is.
bool gone_meanwhile(NTSTATUS status) {
    return status == status_delete_pending || status == status_name_not_found ||
           status == status_no_such_file;
}

bool never_stop() { return false; }

// Takes the lock in the open folder `folder`: made or opened as a file,
// never through a link, shared with no one. A link in its place is deleted
// as a link, a folder emptied and removed (through handles, as old versions
// are), and the lock made anew. INVALID_HANDLE_VALUE with GetLastError
// telling why when it cannot be had.
HANDLE take_lock(HANDLE folder, bool& created) {
    for (int replaced = 0;; ++replaced) {
        HANDLE lock = nullptr;
        ULONG_PTR what = 0;
        // Reading is enough to keep others out; DELETE takes a link away.
        const NTSTATUS opened = create_in_folder(
            folder, lock_name, GENERIC_READ | DELETE | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
            0 /* shared with no one */, FILE_OPEN_IF,
            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, lock,
            &what);
        if (!NT_SUCCESS(opened)) {
            lock = INVALID_HANDLE_VALUE;
            if (opened != status_file_is_a_directory) {
                // Another start removing what stood there is waited for as
                // one holding the lock; anything else the caller judges.
                SetLastError(gone_meanwhile(opened) ? ERROR_SHARING_VIOLATION
                                                    : RtlNtStatusToDosError(opened));
                return INVALID_HANDLE_VALUE;
            }
            // A folder, or a link to one: opened as itself to be removed.
            lock = open_in_folder(
                folder, lock_name,
                DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
            if (lock == INVALID_HANDLE_VALUE) {
                const NTSTATUS why = RtlGetLastNtStatus();
                if (gone_meanwhile(why)) {
                    SetLastError(ERROR_SHARING_VIOLATION);  // gone or going meanwhile
                }
                return lock;
            }
        }
        DWORD found = 0;
        std::uint64_t id = 0;
        // A link the system followed, whatever the open asked (Wine, for its
        // host's links), cannot be removed as a link: nothing starts.
        if (!handle_facts(lock, found, id) || !is_where_named(lock, folder, lock_name)) {
            CloseHandle(lock);
            SetLastError(ERROR_CANNOT_MAKE);
            return INVALID_HANDLE_VALUE;
        }
        const bool link = (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool a_folder = (found & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!link && !a_folder) {
            created = what == FILE_CREATED;
            return lock;
        }
        if (replaced == max_replaced) {
            CloseHandle(lock);
            SetLastError(ERROR_CANNOT_MAKE);
            return INVALID_HANDLE_VALUE;
        }
        trace(L"a %ls stands where the lock goes: removing it", link ? L"link" : L"folder");
        const bool removed = link ? retry_while_busy([&] { return delete_by_handle(lock); })
                                  : empty_and_remove(lock, L"", never_stop);
        CloseHandle(lock);
        // Removed or not, the thing may still be there for a moment while
        // other starts hold it: trying again at once would only spin.
        if (!removed) trace(L"it could not be removed yet");
        Sleep(lock_poll_ms);
    }
}

HANDLE open_target_folder(const wchar_t* folder) {
    return CreateFileW(folder,  //
                       FILE_ADD_FILE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                       nullptr,                                                 //
                       OPEN_EXISTING,                                           //
                       FILE_FLAG_BACKUP_SEMANTICS,  // a folder opens only with it
                       nullptr);
}

}  // namespace

bool lock_target_folder(const wchar_t* folder, bool hold_while_in_use) {
    wchar_t lock_path[path_capacity];
    wide_copy_or_abort(lock_path, path_capacity, folder);
    wide_append_or_abort(lock_path, path_capacity, L"\\");
    wide_append_or_abort(lock_path, path_capacity, lock_name);
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
        if (!try_again(code, missing, folder, folder_made, waited)) break;  // the lock tells
    }
    for (DWORD waited = 0;;) {
        DWORD code = ERROR_SUCCESS;
        bool created = false;
        HANDLE lock = INVALID_HANDLE_VALUE;
        const HANDLE target = open_target_folder(folder);
        if (target == INVALID_HANDLE_VALUE) {
            code = GetLastError();
        } else {
            // Another ordinary user's folder: that user could change
            // anything in it, whatever is checked here.
            if (!folder_owner_is_acceptable(target)) {
                trace(L"the folder belongs to another user");
                fail_open_for_writing(folder);
            }
            lock = take_lock(target, created);
            code = GetLastError();
            CloseHandle(target);
        }
        if (lock != INVALID_HANDLE_VALUE) {
            target_lock = lock;
            // Another start that made the lock first (in a folder either
            // made) has been in it.
            return folder_made && created;
        }
        const bool missing = target == INVALID_HANDLE_VALUE &&
                             (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND);
        // Only another launcher holding it is waited for; nothing starts
        // without the lock.
        if (!try_again(code, missing, folder, folder_made, waited)) {
            trace(L"the lock cannot be taken (error %lu)", code);
            fail_open_for_writing(lock_path);
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
