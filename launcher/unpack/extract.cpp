#include "launcher/unpack/extract.h"

#include "launcher/busy_retry.h"
#include "launcher/errors.h"
#include "launcher/fixed_buffer.h"
#include "launcher/path_forms.h"
#include "format/block.h"
#include "launcher/unpack/reader.h"

#include <windows.h>
#include <winternl.h>
#include <zlib.h>

#include <cwchar>

namespace {

unsigned char copy_buffer[payload_format::copy_chunk_size];  // reused for every chunk
unsigned char checksum_buffer[checksum_buffer_size];         // the main thread's

// Folders known to exist: heap copies, never freed, in a hash set that
// grows, so an application of many thousands of folders has each looked up
// at once and made or checked once.
wchar_t** known_slots = nullptr;
std::size_t known_capacity = 0;  // a power of two, or 0
std::size_t known_count = 0;

std::size_t folder_hash(const wchar_t* folder) {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (; *folder != L'\0'; ++folder)
        h = (h ^ static_cast<std::uint16_t>(*folder)) * 1099511628211ull;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

// The slot that holds folder, or the empty one where it would go.
wchar_t** known_slot(wchar_t** slots, std::size_t capacity, const wchar_t* folder) {
    std::size_t i = folder_hash(folder) & (capacity - 1);
    while (slots[i] != nullptr && wcscmp(slots[i], folder) != 0) i = (i + 1) & (capacity - 1);
    return &slots[i];
}

// At most half full; a set that cannot grow only stops remembering, which
// costs time, not correctness.
bool make_room_for_one_more() {
    if (2 * (known_count + 1) <= known_capacity) return true;
    const std::size_t capacity = known_capacity == 0 ? 1024 : 2 * known_capacity;
    wchar_t** slots = static_cast<wchar_t**>(calloc(capacity, sizeof(wchar_t*)));
    if (slots == nullptr) return false;
    for (std::size_t i = 0; i < known_capacity; ++i) {
        if (known_slots[i] != nullptr)
            *known_slot(slots, capacity, known_slots[i]) = known_slots[i];
    }
    free(known_slots);
    known_slots = slots;
    known_capacity = capacity;
    return true;
}

void remember_folder(const wchar_t* folder) {
    if (!make_room_for_one_more()) return;
    wchar_t** slot = known_slot(known_slots, known_capacity, folder);
    if (*slot != nullptr) return;
    if (wchar_t* copy = _wcsdup(folder)) {
        *slot = copy;
        ++known_count;
    }
}

bool is_known_folder(const wchar_t* folder) {
    return known_capacity != 0 && *known_slot(known_slots, known_capacity, folder) != nullptr;
}

}  // namespace

std::uint32_t file_checksum_with(const wchar_t* path, unsigned char* buffer) {
    HANDLE file = INVALID_HANDLE_VALUE;
    // A file held without read sharing (a scanner's) is waited for: counted
    // as missing, it would have to be rewritten, which would then fail.
    retry_while_busy(
        [&] {
            file = CreateFileW(path,                                                    //
                               GENERIC_READ,                                            //
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                               nullptr,                                                 //
                               OPEN_EXISTING,                                           //
                               FILE_ATTRIBUTE_NORMAL,                                   //
                               nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        is_busy_reading_error);
    if (file == INVALID_HANDLE_VALUE) return 0;
    // Read to the end, whatever the size: a changed file of 4 GiB or more
    // must not pass for an unchanged one, and an empty file is readable
    // with a known content (the checksum of no bytes).
    uLong crc = crc32_z(0L, Z_NULL, 0);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, static_cast<DWORD>(checksum_buffer_size), &got, nullptr)) {
            CloseHandle(file);
            return 0;
        }
        if (got == 0) break;
        crc = crc32_z(crc, buffer, got);
    }
    CloseHandle(file);
    return payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc));
}

std::uint32_t file_checksum(const wchar_t* path) {
    return file_checksum_with(path, checksum_buffer);
}

void know_folder(const wchar_t* folder) { remember_folder(folder); }

bool ensure_folder(const wchar_t* folder) {
    if (is_known_folder(folder)) return true;
    // A drive or a share exists or it does not; it can never be created.
    const std::size_t root = root_length(folder);
    if (root != 0 && folder[root] == L'\0') return true;
    if (!CreateDirectoryW(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    remember_folder(folder);
    return true;
}

namespace {

// The names the system gives open files and folders (\??\C:\Users\... under
// Wine, \Device\HarddiskVolume3\Users\... on Windows), which may be longer
// than the path that led to them when a link leads somewhere deeper.
constexpr std::size_t final_path_capacity = 2 * path_capacity;

// Where writes are confined: the target folder as the launcher spells it,
// and its final path, learned when the first write needs it.
struct confinement {
    const wchar_t* folder;
    std::size_t folder_units;
    wchar_t folder_final[final_path_capacity];
    bool final_known;
};
confinement confined;
wchar_t final_found[final_path_capacity];     // a handle's final path
wchar_t final_expected[final_path_capacity];  // what it must be

// The part of path below the confined folder, or nullptr when it is not
// below it (or nothing is confined).
const wchar_t* below_confined(const wchar_t* path) {
    if (confined.folder == nullptr || wcsncmp(path, confined.folder, confined.folder_units) != 0 ||
        path[confined.folder_units] != L'\\') {
        return nullptr;
    }
    return path + confined.folder_units + 1;
}

// The name of what a handle has open, every link on the way (symbolic
// link, junction, mount point) resolved: the object's own name, which
// GetFinalPathNameByHandleW also starts from. Asked for directly, because
// Wine's GetFinalPathNameByHandleW gives up on paths over 260 characters.
bool final_path_of(HANDLE handle, wchar_t* out) {
    alignas(OBJECT_NAME_INFORMATION) static unsigned char
        reply[sizeof(OBJECT_NAME_INFORMATION) + final_path_capacity * sizeof(wchar_t)];
    ULONG length = 0;
    if (!NT_SUCCESS(NtQueryObject(handle, ObjectNameInformation, reply, sizeof reply, &length))) {
        return false;
    }
    const UNICODE_STRING& name = reinterpret_cast<OBJECT_NAME_INFORMATION*>(reply)->Name;
    const std::size_t units = name.Length / sizeof(wchar_t);
    if (units == 0 || units >= final_path_capacity) return false;
    wmemcpy(out, name.Buffer, units);
    out[units] = L'\0';
    return true;
}

// Whether an open file or folder is the one `relative` names below the
// confined folder, with every link on the way resolved. Names compare
// without regard to case, as the file system does.
bool is_where_its_name_says(HANDLE handle, const wchar_t* relative) {
    if (!final_path_of(handle, final_found)) return false;
    const std::size_t n = wcslen(confined.folder_final);
    // A folder that resolves to a volume's root ends in a backslash already.
    const bool has_separator = n > 0 && confined.folder_final[n - 1] == L'\\';
    if (!wide_copy(final_expected, final_path_capacity, confined.folder_final) ||
        (!has_separator && !wide_append(final_expected, final_path_capacity, L"\\")) ||
        !wide_append(final_expected, final_path_capacity, relative)) {
        return false;
    }
    return CompareStringOrdinal(final_found, -1, final_expected, -1, TRUE) == CSTR_EQUAL;
}

HANDLE open_folder(const wchar_t* folder) {
    return CreateFileW(folder,                                                  //
                       FILE_READ_ATTRIBUTES,                                    //
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                       nullptr,                                                 //
                       OPEN_EXISTING,                                           //
                       FILE_FLAG_BACKUP_SEMANTICS,  // a folder opens only with it
                       nullptr);
}

// Makes folder (a path_capacity buffer, cut and restored on the way) and
// every missing folder above it: climbs until a folder exists or can be
// made, then makes the ones below it on the way back down. Done in one
// buffer, without recursion: a name may have hundreds of levels.
bool make_folder_chain(wchar_t* folder) {
    wchar_t* const full_end = folder + wcslen(folder);
    if (ensure_folder(folder)) return true;
    for (;;) {
        wchar_t* up = find_last_backslash(folder, true);
        if (up == nullptr) break;
        *up = L'\0';
        if (ensure_folder(folder)) break;
    }
    bool made = false;
    for (wchar_t* cut = folder + wcslen(folder); cut < full_end; cut = folder + wcslen(folder)) {
        *cut = L'\\';
        made = ensure_folder(folder);
    }
    return made;
}

// The confined folder is made like any other (links on the way to it are
// the user's choice); then its final path is learned.
bool learn_confined_folder() {
    if (confined.final_known) return true;
    wchar_t folder[path_capacity];
    wide_copy_or_abort(folder, path_capacity, confined.folder);
    // Whether this made the folder matters less than whether it opens: a
    // share may refuse to make a folder that is there already.
    make_folder_chain(folder);
    const HANDLE handle = open_folder(confined.folder);
    if (handle == INVALID_HANDLE_VALUE) return false;
    confined.final_known = final_path_of(handle, confined.folder_final);
    CloseHandle(handle);
    return confined.final_known;
}

// One folder below the confined one, whose parent is known to be where its
// name says: made or found, and checked in turn. CreateDirectoryW never
// follows a link at the last level, so a link there (even one that leads
// nowhere) is found to exist, and the check refuses it.
bool ensure_confined_folder(const wchar_t* folder) {
    if (is_known_folder(folder)) return true;
    CreateDirectoryW(folder, nullptr);  // the open below tells whether it is there
    const HANDLE handle = open_folder(folder);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool inside = is_where_its_name_says(handle, below_confined(folder));
    CloseHandle(handle);
    if (inside) remember_folder(folder);
    return inside;
}

// Makes folder (at or below the confined one) level by level from the top,
// checking each.
bool make_confined_chain(wchar_t* folder) {
    if (!learn_confined_folder()) return false;
    const std::size_t units = wcslen(folder);
    for (std::size_t end = confined.folder_units + 1; end <= units; ++end) {
        if (end < units && folder[end] != L'\\') continue;
        const wchar_t kept = folder[end];
        folder[end] = L'\0';
        const bool ok = ensure_confined_folder(folder);
        folder[end] = kept;
        if (!ok) return false;
    }
    return true;
}

}  // namespace

DWORD attributes_for_rewriting(DWORD attributes) {
    const DWORD kept =
        attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    return kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept;
}

void confine_writes_to(const wchar_t* folder) {
    confined.folder = folder;
    confined.folder_units = wcslen(folder);
    confined.final_known = false;
}

bool create_parent_folders(const wchar_t* path) {
    wchar_t folder[path_capacity];
    wide_copy_or_abort(folder, path_capacity, path);
    wchar_t* const deepest_end = find_last_backslash(folder, true);
    if (deepest_end == nullptr) return true;
    *deepest_end = L'\0';
    // Most files lie in a folder made or checked for a file before; the
    // confined folder's own final path must be known first, though, for
    // the check of the file itself.
    if (is_known_folder(folder) && (confined.folder == nullptr || confined.final_known)) {
        return true;
    }
    if (confined.folder != nullptr &&
        (below_confined(folder) != nullptr || wcscmp(folder, confined.folder) == 0)) {
        return make_confined_chain(folder);
    }
    return make_folder_chain(folder);
}

namespace {

// Once a file is open: below the confined folder it must be where its name
// says (one just made through a folder that was swapped for a link after
// it was checked is removed again); a file that was there is emptied only
// then, so that nothing of a file elsewhere is lost.
HANDLE checked_for_writing(HANDLE file, bool created, const wchar_t* relative) {
    if (relative != nullptr && !is_where_its_name_says(file, relative)) {
        if (created) {
            FILE_DISPOSITION_INFO remove{TRUE};
            SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
        }
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    if (!created && !SetEndOfFile(file)) {  // at its start, as just opened
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Clears the attributes that keep an existing file from being rewritten,
// through a handle checked like any other; true when it cleared any.
bool clear_rewrite_attributes(const wchar_t* path, const wchar_t* relative) {
    const HANDLE file = CreateFileW(path,                                                    //
                                    FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,            //
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                                    nullptr,                                                 //
                                    OPEN_EXISTING,                                           //
                                    0,                                                       //
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILE_BASIC_INFO basic;
    bool cleared = false;
    if ((relative == nullptr || is_where_its_name_says(file, relative)) &&
        GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        const DWORD wanted = attributes_for_rewriting(basic.FileAttributes);
        if (wanted != basic.FileAttributes) {
            FILE_BASIC_INFO change = {};  // times of 0 stay as they are
            change.FileAttributes = wanted;
            cleared = SetFileInformationByHandle(file, FileBasicInfo, &change, sizeof change);
        }
    }
    CloseHandle(file);
    return cleared;
}

// Makes path where no name is: CREATE_NEW never follows a link, not even
// one that leads nowhere. Else opens what is there, following a link at its
// place; a caller that must not write elsewhere checks where it led.
// `created` says which; GetLastError is the last call's.
HANDLE make_or_open(const wchar_t* path, DWORD access_when_made, DWORD access_when_there,
                    bool& created) {
    const HANDLE made = CreateFileW(path,                   //
                                    access_when_made,       //
                                    0,                      // shared with no one
                                    nullptr,                //
                                    CREATE_NEW,             // never through a link
                                    FILE_ATTRIBUTE_NORMAL,  //
                                    nullptr);
    created = made != INVALID_HANDLE_VALUE;
    const DWORD code = GetLastError();
    if (created || (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)) return made;
    return CreateFileW(path,                   //
                       access_when_there,      //
                       0,                      // shared with no one
                       nullptr,                //
                       OPEN_EXISTING,          // not emptied: checked first
                       FILE_ATTRIBUTE_NORMAL,  //
                       nullptr);
}

// The folder the last new file was made in, below or at the confined
// folder, open and known to be where its name says; files of one folder come
// one after another, so each folder is opened and checked once.
wchar_t made_in_path[path_capacity];
HANDLE made_in = INVALID_HANDLE_VALUE;

void forget_made_in() {
    if (made_in != INVALID_HANDLE_VALUE) CloseHandle(made_in);
    made_in = INVALID_HANDLE_VALUE;
}

HANDLE checked_folder(const wchar_t* folder) {
    if (made_in != INVALID_HANDLE_VALUE && wcscmp(made_in_path, folder) == 0) return made_in;
    forget_made_in();
    const HANDLE handle = CreateFileW(folder, FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    const wchar_t* relative = below_confined(folder);
    const bool inside = relative != nullptr
                            ? is_where_its_name_says(handle, relative)
                            : confined.final_known && wcscmp(folder, confined.folder) == 0 &&
                                  final_path_of(handle, final_found) &&
                                  CompareStringOrdinal(final_found, -1, confined.folder_final, -1,
                                                       TRUE) == CSTR_EQUAL;
    if (!inside || !wide_copy(made_in_path, path_capacity, folder)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    made_in = handle;
    return handle;
}

// Makes a new file through a handle of its checked folder: it is made in
// that folder, whatever happens to the path that led there, and a name
// that exists (a file, a folder, a link) is never opened, so the file
// needs no check of its own. INVALID_HANDLE_VALUE for anything else, which
// the path's own open then meets and reports.
HANDLE make_in_checked_folder(const wchar_t* path) {
    wchar_t folder[path_capacity];
    if (!wide_copy(folder, path_capacity, path)) return INVALID_HANDLE_VALUE;
    wchar_t* split = find_last_backslash(folder, true);
    if (split == nullptr) return INVALID_HANDLE_VALUE;
    *split = L'\0';
    const HANDLE parent = checked_folder(folder);
    if (parent == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    const wchar_t* leaf = path + (split - folder) + 1;
    const USHORT bytes = static_cast<USHORT>(wcslen(leaf) * sizeof(wchar_t));
    UNICODE_STRING name{bytes, bytes, const_cast<wchar_t*>(leaf)};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE file = INVALID_HANDLE_VALUE;
    const NTSTATUS made = NtCreateFile(
        &file, GENERIC_WRITE | DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status,
        nullptr, FILE_ATTRIBUTE_NORMAL, 0 /* shared with no one */, FILE_CREATE,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return NT_SUCCESS(made) ? file : INVALID_HANDLE_VALUE;
}

// Opens path for writing without following a link at its place; a file
// that is there is emptied only once it is known to be where its name says.
// Nobody else may write it meanwhile.
HANDLE open_for_writing(const wchar_t* path, const wchar_t* relative) {
    if (relative != nullptr) {
        const HANDLE made = make_in_checked_folder(path);
        if (made != INVALID_HANDLE_VALUE) return made;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    bool created = false;
    bool attributes_cleared = false;
    const bool opened = retry_while_busy([&] {
        // DELETE: to take a new file back if it proves misplaced.
        file = make_or_open(path, GENERIC_WRITE | DELETE, GENERIC_WRITE, created);
        if (file == INVALID_HANDLE_VALUE && !created && GetLastError() == ERROR_ACCESS_DENIED &&
            !attributes_cleared) {
            attributes_cleared = clear_rewrite_attributes(path, relative);
            if (attributes_cleared) {
                file = make_or_open(path, GENERIC_WRITE | DELETE, GENERIC_WRITE, created);
            } else {
                SetLastError(ERROR_ACCESS_DENIED);
            }
        }
        return file != INVALID_HANDLE_VALUE;
    });
    return opened ? checked_for_writing(file, created, relative) : INVALID_HANDLE_VALUE;
}

}  // namespace

void unpack_entry(const wchar_t* path, std::uint64_t stored_size, std::uint32_t stored_checksum) {
    unpack_checked_entry(path, stored_size, file_checksum(path) == stored_checksum);
}

void unpack_checked_entry(const wchar_t* path, std::uint64_t stored_size, bool up_to_date) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!up_to_date) {
        // A folder that cannot be created shows up as the file that cannot
        // be; one below the target that is not where its name says is
        // refused at once.
        const wchar_t* relative = below_confined(path);
        if (!create_parent_folders(path) && relative != nullptr) fail_open_for_writing(path);
        file = open_for_writing(path, relative);
        if (file == INVALID_HANDLE_VALUE) fail_open_for_writing(path);
    }
    // Up to date or not, the data are consumed so the stream stays on the next entry.
    std::uint64_t remaining = stored_size;
    while (remaining > 0) {
        const DWORD chunk =
            static_cast<DWORD>(remaining < sizeof copy_buffer ? remaining : sizeof copy_buffer);
        payload_read(copy_buffer, chunk);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (!WriteFile(file, copy_buffer, chunk, &written, nullptr))
                fail_unpack(GetLastError());
            if (written != chunk) {
                // A write that stops short found no more room (Wine shows a
                // full disk this way rather than with an error).
                fail_unpack(ERROR_DISK_FULL);
            }
        }
        remaining -= chunk;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

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
