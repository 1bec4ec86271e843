#include "launcher/unpack/versions.h"

#include "launcher/build_values.h"
#include "launcher/fixed_buffer.h"
#include "launcher/trace.h"
#include "format/version_folders.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

namespace vf = version_folders;

namespace {

constexpr wchar_t marker_name[] = L".fenwix-version";
// Folders of one parent looked at in one start; more wait for a later one.
constexpr std::size_t max_siblings = 256;
constexpr std::size_t name_capacity = vf::max_marker_text_units + 1;

struct found_folder {
    wchar_t name[name_capacity];
    bool rubbish;
};

// The removal's own state: it runs on one background thread.
found_folder found[max_siblings];
vf::sibling judged[max_siblings];
wchar_t parent[path_capacity];  // extended form, no trailing backslash
wchar_t own_name[name_capacity];
wchar_t path[path_capacity];  // the folder or file being worked on
unsigned char marker_bytes[vf::max_marker_size + 1];
LONG volatile stopping = 0;
HANDLE remover = nullptr;

bool stop_asked() { return InterlockedCompareExchange(&stopping, 0, 0) != 0; }

// The marker's bytes for this build and a folder of that name; 0 when they
// do not fit in a marker.
std::size_t own_marker(unsigned char* out, const wchar_t* name) {
    const build_values& v = launcher_build_values();
    const wchar_t* const texts[vf::marker_texts] = {v.product_name, v.company_name, v.version,
                                                    name};
    return vf::encode_marker(out, texts);
}

// Reads the marker at `file` (not through a link) into marker_bytes; its size, or 0.
std::size_t read_marker(const wchar_t* file) {
    const HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD size = 0;
    const BOOL read = ReadFile(h, marker_bytes, sizeof marker_bytes, &size, nullptr);
    CloseHandle(h);
    return read ? size : 0;
}

// A marker's text as wide units (at most name_capacity - 1); their count.
std::size_t copy_text(const vf::text_view& t, wchar_t* out) {
    for (std::size_t u = 0; u < t.count; ++u) {
        out[u] = static_cast<wchar_t>(payload_format::read_le(t.units + 2 * u, 2));
    }
    return t.count;
}

// Sets `path` to parent\name; false when it does not fit.
bool path_in_parent(const wchar_t* name) {
    return wide_copy(path, path_capacity, parent) && wide_append(path, path_capacity, L"\\") &&
           wide_append(path, path_capacity, name);
}

// Whether parent\name holds a marker of this product and company; for a
// version folder (not rubbish) its name must also be the one the marker
// gives, so that a copy under another name is never taken for ours.
bool marked_as_ours(const wchar_t* name, bool rubbish, std::uint64_t& version) {
    if (!path_in_parent(name) || !wide_append(path, path_capacity, L"\\") ||
        !wide_append(path, path_capacity, marker_name)) {
        return false;
    }
    vf::text_view texts[vf::marker_texts];
    if (!vf::parse_marker(marker_bytes, read_marker(path), texts)) return false;
    const build_values& v = launcher_build_values();
    if (!vf::text_is(texts[vf::marker_product], v.product_name) ||
        !vf::text_is(texts[vf::marker_company], v.company_name)) {
        return false;
    }
    wchar_t text[name_capacity];
    if (!vf::parse_version(text, copy_text(texts[vf::marker_version], text), version)) return false;
    if (rubbish) return true;
    const int units = static_cast<int>(copy_text(texts[vf::marker_name], text));
    return CompareStringOrdinal(text, units, name, -1, TRUE) == CSTR_EQUAL;
}

// Lists the parent's folders that are ours; returns how many.
std::size_t list_our_folders() {
    if (!path_in_parent(L"*")) return 0;
    WIN32_FIND_DATAW data;
    const HANDLE listing = FindFirstFileExW(path, FindExInfoBasic, &data, FindExSearchNameMatch,
                                            nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (listing == INVALID_HANDLE_VALUE) return 0;
    std::size_t count = 0;
    do {
        const wchar_t* name = data.cFileName;
        // A link is never ours, whatever it leads to; nor is a file.
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 ||
            CompareStringOrdinal(name, -1, own_name, -1, TRUE) == CSTR_EQUAL ||
            wcslen(name) >= name_capacity) {
            continue;
        }
        const bool rubbish = vf::is_rubbish_name(name);
        std::uint64_t version = 0;
        if (!marked_as_ours(name, rubbish, version)) continue;
        if (count == max_siblings) {
            trace(L"versions: more than %Iu folders; the rest wait for a later start",
                  max_siblings);
            break;
        }
        wide_copy(found[count].name, name_capacity, name);
        found[count].rubbish = rubbish;
        judged[count] = {version, count, vf::verdict::keep_recent};
        ++count;
    } while (FindNextFileW(listing, &data));
    FindClose(listing);
    return count;
}

// Renames parent\name, a free folder of ours, to a rubbish name, which it
// writes into `rubbish`. The folder is held shared with no one from the
// check to the rename: no launcher can start in it meanwhile.
enum class rename_outcome { renamed, in_use, failed };
rename_outcome rename_to_rubbish(const wchar_t* name, wchar_t (&rubbish)[name_capacity]) {
    if (!path_in_parent(name)) return rename_outcome::failed;
    const HANDLE folder =
        CreateFileW(path, DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION ? rename_outcome::in_use
                                                         : rename_outcome::failed;
    }
    // What was opened is a folder, not a link put in its place since the listing.
    BY_HANDLE_FILE_INFORMATION info;
    bool renamed = false;
    if (GetFileInformationByHandle(folder, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        // The target name in the system's own form: "\??\" and the path
        // after the extended form's "\\?\".
        union {
            FILE_RENAME_INFO info;
            unsigned char bytes[sizeof(FILE_RENAME_INFO) + 2 * path_capacity];
        } request;
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        std::uint64_t tag = static_cast<std::uint64_t>(counter.QuadPart) ^
                            (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40);
        for (int attempt = 0; attempt < 4 && !renamed; ++attempt, ++tag) {
            wide_copy(rubbish, name_capacity, vf::rubbish_prefix);
            for (int digit = 15; digit >= 0; --digit) {
                rubbish[vf::rubbish_prefix_units + (15 - digit)] =
                    L"0123456789abcdef"[(tag >> (4 * digit)) & 0xF];
            }
            rubbish[vf::rubbish_prefix_units + 16] = L'\0';
            wchar_t* target = request.info.FileName;
            const std::size_t room = path_capacity;
            if (!wide_copy(target, room, L"\\??\\") || !wide_append(target, room, parent + 4) ||
                !wide_append(target, room, L"\\") || !wide_append(target, room, rubbish)) {
                break;
            }
            request.info.ReplaceIfExists = FALSE;
            request.info.RootDirectory = nullptr;
            request.info.FileNameLength = static_cast<DWORD>(2 * wcslen(target));
            renamed = SetFileInformationByHandle(folder, FileRenameInfo, &request,
                                                 sizeof request.info + request.info.FileNameLength);
        }
    }
    CloseHandle(folder);
    return renamed ? rename_outcome::renamed : rename_outcome::failed;
}

// Empties parent\name (rubbish) and removes it, the marker last. Links are
// removed as links. Without recursion: `path` descends into a folder, and
// climbs back once it is empty. Returns false when it stopped (the program
// ended) or something could not be removed: a later start goes on.
bool empty_and_remove(const wchar_t* name) {
    if (!path_in_parent(name)) return false;
    const std::size_t root = wcslen(path);
    for (;;) {
        if (stop_asked()) return false;
        const std::size_t here = wcslen(path);
        if (!wide_append(path, path_capacity, L"\\*")) return false;
        WIN32_FIND_DATAW data;
        const HANDLE listing =
            FindFirstFileExW(path, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
        path[here] = L'\0';
        bool descended = false, marker_left = false;
        if (listing != INVALID_HANDLE_VALUE) {
            do {
                const wchar_t* entry = data.cFileName;
                if (wcscmp(entry, L".") == 0 || wcscmp(entry, L"..") == 0) continue;
                if (here == root && wcscmp(entry, marker_name) == 0) {
                    marker_left = true;
                    continue;
                }
                if (stop_asked() || !wide_append(path, path_capacity, L"\\") ||
                    !wide_append(path, path_capacity, entry)) {
                    FindClose(listing);
                    return false;
                }
                const DWORD attributes = data.dwFileAttributes;
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                    descended = true;  // emptied first, from the top again
                    break;
                }
                bool gone;
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    gone = RemoveDirectoryW(path);  // a link to a folder: only the link
                } else {
                    // A read-only file would not go; a link keeps its attributes.
                    if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                        FILE_ATTRIBUTE_READONLY) {
                        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
                    }
                    gone = DeleteFileW(path);  // a file, or a link to one: only the link
                }
                path[here] = L'\0';
                if (!gone) {
                    FindClose(listing);
                    return false;
                }
            } while (FindNextFileW(listing, &data));
            FindClose(listing);
        }
        if (descended) continue;
        // Empty, but for the marker at the top.
        if (marker_left) {
            if (!wide_append(path, path_capacity, L"\\") ||
                !wide_append(path, path_capacity, marker_name) || !DeleteFileW(path)) {
                return false;
            }
            path[here] = L'\0';
        }
        if (!RemoveDirectoryW(path)) return false;
        if (here == root) return true;
        wchar_t* up = find_last_backslash(path, false);
        if (up == nullptr) return false;
        *up = L'\0';
    }
}

DWORD WINAPI remove_old_versions(void* keep_pointer) {
    // Below the program in processor and disk time.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    const std::size_t keep = reinterpret_cast<std::uintptr_t>(keep_pointer);
    const std::size_t count = list_our_folders();
    std::uint64_t current = 0;
    const wchar_t* version = launcher_build_values().version;
    vf::parse_version(version, wcslen(version), current);
    // Rubbish is not a version: it is finished, whatever its version.
    std::size_t versions = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!found[i].rubbish) judged[versions++] = judged[i];
    }
    vf::judge_siblings(judged, versions, current, keep);
    for (std::size_t i = 0; i < versions; ++i) {
        const wchar_t* name = found[judged[i].order].name;
        if (judged[i].fate == vf::verdict::keep_recent) {
            trace(L"versions: kept %ls, one of the %Iu newest", name, keep - 1);
            continue;
        }
        if (judged[i].fate == vf::verdict::keep_newer) {
            trace(L"versions: kept %ls, newer than this version", name);
            continue;
        }
        if (stop_asked()) {
            trace(L"versions: %ls left for a later start: the program ended", name);
            continue;
        }
        wchar_t rubbish[name_capacity];
        const rename_outcome renamed = rename_to_rubbish(name, rubbish);
        if (renamed != rename_outcome::renamed) {
            trace(renamed == rename_outcome::in_use
                      ? L"versions: %ls left for a later start: in use"
                      : L"versions: %ls left for a later start: it cannot be renamed (error %lu)",
                  name, GetLastError());
            continue;
        }
        trace(empty_and_remove(rubbish) ? L"versions: removed %ls, older than the ones kept"
                                        : L"versions: %ls renamed to rubbish, removed by a "
                                          L"later start",
              name);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!found[i].rubbish) continue;
        trace(empty_and_remove(found[i].name)
                  ? L"versions: removed rubbish %ls left by an earlier start"
                  : L"versions: rubbish %ls left for a later start",
              found[i].name);
    }
    return 0;
}

}  // namespace

void mark_version_folder(const wchar_t* folder) {
    static wchar_t file[path_capacity];
    static unsigned char wanted[vf::max_marker_size];
    const wchar_t* split = wcsrchr(folder, L'\\');
    const wchar_t* name = split != nullptr ? split + 1 : folder;
    const std::size_t size = own_marker(wanted, name);
    if (size == 0 || !wide_copy(file, path_capacity, folder) ||
        !wide_append(file, path_capacity, L"\\") ||
        !wide_append(file, path_capacity, marker_name)) {
        return;
    }
    if (read_marker(file) == size && memcmp(marker_bytes, wanted, size) == 0) return;
    // Made anew: CREATE_NEW never writes through a link put in its place.
    DeleteFileW(file);
    const HANDLE h =
        CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    const bool whole =
        WriteFile(h, wanted, static_cast<DWORD>(size), &written, nullptr) && written == size;
    CloseHandle(h);
    if (!whole) {
        DeleteFileW(file);
        return;
    }
    trace(L"versions: marked %ls", name);
}

void remove_old_versions_in_background(const wchar_t* folder, unsigned keep) {
    if (!wide_copy(parent, path_capacity, folder)) return;
    wchar_t* split = find_last_backslash(parent, false);
    if (split == nullptr || !wide_copy(own_name, name_capacity, split + 1)) return;
    *split = L'\0';
    remover = CreateThread(nullptr, 64 * 1024, remove_old_versions,
                           reinterpret_cast<void*>(static_cast<std::uintptr_t>(keep)),
                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

void stop_removing_versions() {
    if (remover == nullptr) return;
    InterlockedExchange(&stopping, 1);
    // At most one file's removal: the exit never waits for more.
    WaitForSingleObject(remover, 1000);
}
