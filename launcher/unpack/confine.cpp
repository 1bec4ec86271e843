#include "launcher/unpack/confine.h"

#include "launcher/base/busy_retry.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/path_forms.h"
#include "launcher/unpack/known_folders.h"
#include "launcher/platform/files_by_handle.h"
#include "launcher/platform/owner_only.h"
#include "launcher/unpack/remove_by_handle.h"

#include <winternl.h>

#include <cwchar>

namespace {

// Where writes are confined: the target folder as the launcher spells it,
// and its final path, learned when the first write needs it.
struct confinement {
    const wchar_t* folder;
    std::size_t folder_units;
    wchar_t folder_final[final_name_capacity];
    bool final_known;
};
confinement confined;
wchar_t final_found[final_name_capacity];     // a handle's final path
wchar_t final_expected[final_name_capacity];  // what it must be

}  // namespace

const wchar_t* below_confined(const wchar_t* path) {
    if (confined.folder == nullptr || wcsncmp(path, confined.folder, confined.folder_units) != 0 ||
        path[confined.folder_units] != L'\\') {
        return nullptr;
    }
    return path + confined.folder_units + 1;
}

namespace {

// Whether an open file or folder is the one `relative` names below the
// confined folder, with every link on the way resolved. Names compare
// without regard to case, as the file system does.
bool is_where_its_name_says(HANDLE handle, const wchar_t* relative) {
    if (!final_name_of(handle, final_found)) return false;
    const std::size_t n = wcslen(confined.folder_final);
    // A folder that resolves to a volume's root ends in a backslash already.
    const bool has_separator = n > 0 && confined.folder_final[n - 1] == L'\\';
    if (!wide_copy(final_expected, final_name_capacity, confined.folder_final) ||
        (!has_separator && !wide_append(final_expected, final_name_capacity, L"\\")) ||
        !wide_append(final_expected, final_name_capacity, relative)) {
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

}  // namespace

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

namespace {

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
    confined.final_known = final_name_of(handle, confined.folder_final);
    CloseHandle(handle);
    return confined.final_known;
}

// One folder below the confined one, whose parent is known to be where its
// name says: made or found, and checked in turn. CreateDirectoryW never
// follows a link at the last level, so a link there (even one that leads
// nowhere) is found to exist, and the check refuses it.
bool ensure_confined_folder(const wchar_t* folder) {
    if (is_known_folder(folder)) return true;
    // The open below tells whether it is there; a scanner holding the
    // folder above for a moment is waited out.
    retry_while_busy([&] { return make_owner_only_folder(folder); }, is_busy_reading_error);
    const HANDLE handle = open_folder(folder);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool inside = is_where_its_name_says(handle, below_confined(folder));
    CloseHandle(handle);
    if (inside) {
        remember_folder(folder);
    } else {
        SetLastError(ERROR_ACCESS_DENIED);  // as for a folder it may not write in
    }
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
        // Refused as the system refuses a file it may not write.
        SetLastError(ERROR_ACCESS_DENIED);
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

}  // namespace

void forget_made_in() { close_checked_folders(); }

namespace {

// The folder a new file is made in, below or at the confined folder, open
// and known to be where its name says; each folder is opened and checked
// once, and kept open for the files made in it later (stream order groups
// files by kind, not by folder).
HANDLE checked_folder(const wchar_t* folder) {
    const HANDLE kept = checked_folder_handle(folder);
    if (kept != INVALID_HANDLE_VALUE) return kept;
    const HANDLE handle = CreateFileW(folder, FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    const wchar_t* relative = below_confined(folder);
    const bool inside = relative != nullptr
                            ? is_where_its_name_says(handle, relative)
                            : confined.final_known && wcscmp(folder, confined.folder) == 0 &&
                                  final_name_of(handle, final_found) &&
                                  CompareStringOrdinal(final_found, -1, confined.folder_final, -1,
                                                       TRUE) == CSTR_EQUAL;
    if (!inside || !keep_checked_folder(folder, handle)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
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
    return make_in_folder(parent, path + (split - folder) + 1, GENERIC_WRITE);
}

}  // namespace

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
