#include "launcher/unpack/versions.h"

#include "launcher/base/build_values.h"
#include "launcher/base/busy_retry.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/trace.h"
#include "launcher/unpack/remove_by_handle.h"
#include "format/version_folders.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>

namespace vf = version_folders;
namespace rr = removal_rules;

namespace {

constexpr wchar_t marker_name[] = L".fenwix-version";
// Folders of one parent looked at in one start; more wait for a later one.
constexpr std::size_t max_siblings = 256;
constexpr std::size_t name_capacity = vf::max_marker_text_units + 1;
static_assert(name_capacity == listed_name_capacity, "a listed name is a marker's text");

struct found_folder {
    listed_entry listed;  // its name and id as the parent listed them
    bool rubbish;
    bool marked;  // rubbish without a marker (or a link) is removed only when empty
};

// The removal's own state: it runs on one background thread.
found_folder found[max_siblings];
vf::sibling judged[max_siblings];
wchar_t parent[path_capacity];  // extended form, no trailing backslash
wchar_t own_name[name_capacity];
HANDLE held_parent = INVALID_HANDLE_VALUE;  // open for the whole removal
wchar_t parent_final[final_name_capacity];  // its final name
listed_entry listed;                        // the parent's entry being looked at
unsigned char marker_bytes[vf::max_marker_size + 1];
unsigned char wanted_marker[vf::max_marker_size];  // the marker this start writes
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

// Reads the marker at the top of `folder` (a file, not a link) into
// marker_bytes; its size, or 0.
std::size_t read_marker(HANDLE folder) {
    const HANDLE h =
        open_in_folder(folder, marker_name, GENERIC_READ, FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD attributes = 0, size = 0;
    std::uint64_t id = 0;
    const BOOL read = handle_facts(h, attributes, id) &&
                      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                      ReadFile(h, marker_bytes, sizeof marker_bytes, &size, nullptr);
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

// Whether `folder` (named `name` in the parent) holds a marker of this
// product and company; for a version folder (not rubbish) its name must
// also be the one the marker gives, so that a copy under another name is
// never taken for ours.
bool marked_as_ours(HANDLE folder, const wchar_t* name, bool rubbish, std::uint64_t& version) {
    vf::text_view texts[vf::marker_texts];
    if (!vf::parse_marker(marker_bytes, read_marker(folder), texts)) return false;
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

const wchar_t* fault_text(rr::candidate_fault fault) {
    switch (fault) {
        case rr::candidate_fault::a_link:
            return L"a link now";
        case rr::candidate_fault::not_a_folder:
            return L"not a folder now";
        case rr::candidate_fault::other_id:
            return L"another folder than the one listed";
        case rr::candidate_fault::elsewhere:
            return L"not in the parent folder";
        case rr::candidate_fault::none:
            break;
    }
    return L"";
}

// Opens a listed folder of the held parent, checked by its handle; a
// candidate that fails a check is left alone, and traced.
HANDLE open_checked(const listed_entry& entry, ACCESS_MASK access, DWORD share) {
    rr::candidate_fault fault;
    const HANDLE folder = open_candidate(held_parent, parent_final, entry, access, share, fault);
    if (fault != rr::candidate_fault::none) {
        trace(L"versions: %ls left alone: %ls", entry.name, fault_text(fault));
    }
    return folder;
}

// Lists the held parent's folders that are ours, and rubbish; returns how
// many.
std::size_t list_our_folders() {
    std::size_t count = 0;
    for (bool restart = true; next_listed(held_parent, listed, restart); restart = false) {
        const wchar_t* name = listed.name;
        const bool rubbish = vf::is_rubbish_name(name);
        const bool link = (listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        // A link is never ours, whatever it leads to; nor is a file. A link
        // by a rubbish name is removed as a link: nothing is lost.
        if ((listed.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            CompareStringOrdinal(name, -1, own_name, -1, TRUE) == CSTR_EQUAL ||
            (link && !rubbish)) {
            continue;
        }
        if (link) {
            if (count == max_siblings) break;
            found[count] = {listed, true, false};
            ++count;
            continue;
        }
        const HANDLE folder = open_checked(listed, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (folder == INVALID_HANDLE_VALUE) continue;
        std::uint64_t version = 0;
        const bool marked = marked_as_ours(folder, name, rubbish, version);
        CloseHandle(folder);
        if (!marked && !rubbish) continue;
        if (count == max_siblings) {
            trace(L"versions: more than %Iu folders; the rest wait for a later start",
                  max_siblings);
            break;
        }
        found[count] = {listed, rubbish, marked};
        judged[count] = {version, count, vf::verdict::keep_recent};
        ++count;
    }
    return count;
}

// Renames `folder` (open, shared with no one, with DELETE) within the held
// parent to a rubbish name, which it writes into `rubbish`.
bool rename_to_rubbish(HANDLE folder, wchar_t (&rubbish)[name_capacity]) {
    union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + 2 * name_capacity];
    } request;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uint64_t tag = static_cast<std::uint64_t>(counter.QuadPart) ^
                        (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40);
    for (int attempt = 0; attempt < 4; ++attempt, ++tag) {
        wide_copy(rubbish, name_capacity, vf::rubbish_prefix);
        for (int digit = 15; digit >= 0; --digit) {
            rubbish[vf::rubbish_prefix_units + (15 - digit)] =
                L"0123456789abcdef"[(tag >> (4 * digit)) & 0xF];
        }
        rubbish[vf::rubbish_prefix_units + 16] = L'\0';
        // Relative to the held parent: the name never leaves it.
        wide_copy(request.info.FileName, name_capacity, rubbish);
        request.info.ReplaceIfExists = FALSE;
        request.info.RootDirectory = held_parent;
        request.info.FileNameLength = static_cast<DWORD>(2 * wcslen(rubbish));
        const bool renamed = retry_while_busy([&] {
            IO_STATUS_BLOCK status;
            const NTSTATUS done = NtSetInformationFile(
                folder, &status, &request, sizeof request.info + request.info.FileNameLength,
                static_cast<FILE_INFORMATION_CLASS>(10 /* rename */));
            SetLastError(RtlNtStatusToDosError(done));
            return NT_SUCCESS(done);
        });
        if (renamed) return true;
    }
    return false;
}

// Removes one old version: held shared with no one from the check to the
// rename (no launcher can start in it meanwhile), and only when none of
// its programs or libraries is open or mapped; then emptied through the
// same handle.
void remove_version(const found_folder& version) {
    const wchar_t* name = version.listed.name;
    const HANDLE folder = open_checked(
        version.listed, DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_WRITE_ATTRIBUTES, 0);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION) {
            trace(L"versions: %ls left for a later start: in use", name);
        } else if (code != ERROR_SUCCESS) {
            trace(L"versions: %ls left for a later start: it cannot be opened (error %lu)", name,
                  code);
        }
        return;
    }
    wchar_t rubbish[name_capacity];
    if (!rr::folder_is_free(false, images_in_use(folder))) {
        trace(L"versions: %ls left for a later start: a program or library in it is in use", name);
    } else if (!rename_to_rubbish(folder, rubbish)) {
        trace(L"versions: %ls left for a later start: it cannot be renamed (error %lu)", name,
              GetLastError());
    } else {
        trace(empty_and_remove(folder, marker_name, stop_asked)
                  ? L"versions: removed %ls, older than the ones kept"
                  : L"versions: %ls renamed to rubbish, removed by a later start",
              name);
    }
    CloseHandle(folder);
}

// Finishes rubbish an earlier start left; rubbish without a marker goes
// only when empty, so a folder merely named so loses nothing.
void remove_rubbish(const found_folder& rubbish) {
    const bool link = (rubbish.listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const HANDLE folder =
        link ? open_link(held_parent, rubbish.listed)
             : open_checked(rubbish.listed, DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE, 0);
    if (folder == INVALID_HANDLE_VALUE) return;
    const bool gone = rubbish.marked ? empty_and_remove(folder, marker_name, stop_asked)
                                     : retry_while_busy([&] { return delete_by_handle(folder); });
    CloseHandle(folder);
    trace(gone ? L"versions: removed rubbish %ls left by an earlier start"
               : L"versions: rubbish %ls left for a later start",
          rubbish.listed.name);
}

DWORD WINAPI remove_old_versions(void* keep_pointer) {
    // Below the program in processor and disk time.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    const std::size_t keep = reinterpret_cast<std::uintptr_t>(keep_pointer);
    hold_walks();
    held_parent = hold_parent_folder(parent, parent_final);
    if (held_parent == INVALID_HANDLE_VALUE) {
        trace(L"versions: the parent folder cannot be opened (error %lu)", GetLastError());
        release_walks();
        return 0;
    }
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
        const found_folder& candidate = found[judged[i].order];
        const wchar_t* name = candidate.listed.name;
        if (judged[i].fate == vf::verdict::keep_recent) {
            trace(L"versions: kept %ls, one of the %Iu newest", name, keep - 1);
        } else if (judged[i].fate == vf::verdict::keep_newer) {
            trace(L"versions: kept %ls, newer than this version", name);
        } else if (stop_asked()) {
            trace(L"versions: %ls left for a later start: the program ended", name);
        } else {
            remove_version(candidate);
        }
    }
    for (std::size_t i = 0; i < count && !stop_asked(); ++i) {
        if (found[i].rubbish) remove_rubbish(found[i]);
    }
    CloseHandle(held_parent);
    held_parent = INVALID_HANDLE_VALUE;
    release_walks();
    return 0;
}

}  // namespace

void mark_version_folder(const wchar_t* folder) {
    const wchar_t* split = wcsrchr(folder, L'\\');
    const wchar_t* name = split != nullptr ? split + 1 : folder;
    const std::size_t size = own_marker(wanted_marker, name);
    if (size == 0) return;
    const HANDLE target = CreateFileW(folder,                                                  //
                                      FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE,     //
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                                      nullptr,                                                 //
                                      OPEN_EXISTING,                                           //
                                      FILE_FLAG_BACKUP_SEMANTICS,  // a folder opens only with it
                                      nullptr);
    if (target == INVALID_HANDLE_VALUE) return;
    if (read_marker(target) == size && memcmp(marker_bytes, wanted_marker, size) == 0) {
        CloseHandle(target);
        return;
    }
    // Made anew in the folder's handle: a link put in its place is
    // deleted as a link, and never written through.
    HANDLE h = INVALID_HANDLE_VALUE;
    const bool made = delete_in_folder(target, marker_name) && retry_while_busy([&] {
                          h = make_in_folder(target, marker_name, GENERIC_WRITE);
                          return h != INVALID_HANDLE_VALUE;
                      });
    bool whole = false;
    if (made) {
        DWORD written = 0;
        whole = WriteFile(h, wanted_marker, static_cast<DWORD>(size), &written, nullptr) &&
                written == size;
        if (!whole) delete_by_handle(h);
        CloseHandle(h);
    }
    CloseHandle(target);
    trace(whole ? L"versions: marked %ls" : L"versions: %ls could not be marked (error %lu)", name,
          GetLastError());
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
