#include "launcher/unpack/remove_by_handle.h"

#include "launcher/base/busy_retry.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/trace.h"

#include <winternl.h>

#include <cwchar>

namespace rr = removal_rules;

namespace {

// Levels a walk descends: a name of 1,023 units has at most 512.
constexpr std::size_t max_levels = 512;

// The walks' own state. The main thread takes the lock and writes the
// marker before any other thread starts; then the removal of old versions
// (holding walks_lock throughout) and the quick check's background thread
// (dropping its record) take turns on it. Each walk is done before the next
// begins.
struct walk_state {
    HANDLE levels[max_levels];  // levels[0] is the caller's; the rest are the walk's
    listed_entry entry;
    wchar_t found_final[final_name_capacity];
    wchar_t folder_final[final_name_capacity];
    HANDLE folder_final_of;  // the folder whose final name folder_final holds
};
walk_state walk;
SRWLOCK walks_lock = SRWLOCK_INIT;

bool same_names(const wchar_t* a, std::size_t a_units, const wchar_t* b, std::size_t b_units) {
    return CompareStringOrdinal(a, static_cast<int>(a_units), b, static_cast<int>(b_units), TRUE) ==
           CSTR_EQUAL;
}

bool is_real_folder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool is_where_named_in_walk(HANDLE entry, HANDLE folder, const wchar_t* name);

// An entry met inside a folder being walked, opened relative to it and
// checked against its listing: a real folder to enter only when both say
// so and the ids agree; anything else (a file, a link) is never entered,
// and nothing that is not where its name says is touched.
enum class met { folder, other, fault };
met open_met(HANDLE folder, const listed_entry& listed, ACCESS_MASK access, HANDLE& out) {
    out = INVALID_HANDLE_VALUE;
    const bool opened = retry_while_busy([&] {
        out = open_in_folder(folder, listed.name, access,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        return out != INVALID_HANDLE_VALUE;
    });
    if (!opened) return met::fault;
    DWORD attributes = 0;
    std::uint64_t id = 0;
    const bool listed_folder = is_real_folder(listed.attributes);
    if (!handle_facts(out, attributes, id) || is_real_folder(attributes) != listed_folder ||
        (listed_folder && id != listed.id) || !is_where_named_in_walk(out, folder, listed.name)) {
        trace(
            L"versions: %ls left alone: not what was listed, or a link that cannot be opened "
            L"as itself",
            listed.name);
        return met::fault;
    }
    return listed_folder ? met::folder : met::other;
}

void close_level(HANDLE folder) {
    if (walk.folder_final_of == folder) walk.folder_final_of = nullptr;
    CloseHandle(folder);
}

void close_levels(std::size_t from, std::size_t depth) {
    for (std::size_t i = from; i < depth; ++i) close_level(walk.levels[i]);
}

}  // namespace

bool is_where_named(HANDLE entry, HANDLE folder, const wchar_t* name) {
    walk.folder_final_of = nullptr;
    return is_where_named_in_walk(entry, folder, name);
}

namespace {

// The same within a walk, whose folder handles stay open while their
// entries are looked at (close_level forgets a closed one's name): one
// folder's entries come one after another, so its name is asked once.
bool is_where_named_in_walk(HANDLE entry, HANDLE folder, const wchar_t* name) {
    if (walk.folder_final_of != folder) {
        walk.folder_final_of = nullptr;
        if (!final_name_of(folder, walk.folder_final)) return false;
        walk.folder_final_of = folder;
    }
    return final_name_of(entry, walk.found_final) &&
           rr::is_child_of(walk.folder_final, walk.found_final, name, same_names);
}

}  // namespace

HANDLE hold_parent_folder(const wchar_t* path, wchar_t* final_name) {
    const HANDLE parent = CreateFileW(path,                                                    //
                                      FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,       //
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                                      nullptr,                                                 //
                                      OPEN_EXISTING,                                           //
                                      FILE_FLAG_BACKUP_SEMANTICS,  // a folder opens only with it
                                      nullptr);
    if (parent == INVALID_HANDLE_VALUE) return parent;
    if (!final_name_of(parent, final_name)) {
        CloseHandle(parent);
        return INVALID_HANDLE_VALUE;
    }
    return parent;
}

HANDLE open_candidate(HANDLE parent, const wchar_t* parent_final, const listed_entry& listed,
                      ACCESS_MASK access, DWORD share, rr::candidate_fault& fault) {
    fault = rr::candidate_fault::none;
    const HANDLE candidate =
        open_in_folder(parent, listed.name, access | FILE_READ_ATTRIBUTES, share, 0);
    if (candidate == INVALID_HANDLE_VALUE) return candidate;
    DWORD attributes = 0;
    std::uint64_t id = 0;
    const bool known = handle_facts(candidate, attributes, id);
    const bool in_parent = known && final_name_of(candidate, walk.found_final) &&
                           rr::is_child_of(parent_final, walk.found_final, listed.name, same_names);
    fault = known ? rr::judge_candidate(attributes, id, listed.id, in_parent)
                  : rr::candidate_fault::elsewhere;
    if (fault == rr::candidate_fault::none) return candidate;
    CloseHandle(candidate);
    return INVALID_HANDLE_VALUE;
}

HANDLE open_link(HANDLE parent, const listed_entry& listed) {
    const HANDLE link = open_in_folder(parent, listed.name, DELETE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (link == INVALID_HANDLE_VALUE) return link;
    DWORD attributes = 0;
    std::uint64_t id = 0;
    if (handle_facts(link, attributes, id) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        id == listed.id) {
        return link;
    }
    CloseHandle(link);
    return INVALID_HANDLE_VALUE;
}

rr::image_use images_in_use(HANDLE folder) {
    walk.folder_final_of = nullptr;
    walk.levels[0] = folder;
    std::size_t depth = 1;
    bool restart = true;
    rr::image_use worst = rr::image_use::free;
    while (depth > 0 && worst == rr::image_use::free) {
        HANDLE here = walk.levels[depth - 1];
        if (!next_listed(here, walk.entry, restart)) {
            if (--depth > 0) close_level(here);
            restart = false;
            continue;
        }
        restart = false;
        if (is_real_folder(walk.entry.attributes)) {
            HANDLE below = INVALID_HANDLE_VALUE;
            const met kind =
                open_met(here, walk.entry, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, below);
            if (kind != met::folder || depth == max_levels) {
                if (below != INVALID_HANDLE_VALUE) CloseHandle(below);
                worst = rr::image_use::unsure;
                break;
            }
            walk.levels[depth++] = below;
            restart = true;
            continue;
        }
        if ((walk.entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            !rr::is_image_name(walk.entry.name)) {
            continue;
        }
        // Writing asked of a mapped image is refused; no sharing, so that
        // any other open refuses it too.
        const bool read_only = (walk.entry.attributes & FILE_ATTRIBUTE_READONLY) != 0;
        HANDLE image = open_in_folder(here, walk.entry.name, FILE_WRITE_DATA | DELETE, 0,
                                      FILE_NON_DIRECTORY_FILE);
        DWORD code = image != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
        rr::image_use use = rr::judge_image_open(code, read_only);
        if (use == rr::image_use::read_only) {
            // About to go anyway: the attribute is cleared, then asked again.
            const HANDLE attrs = open_in_folder(
                here, walk.entry.name, FILE_WRITE_ATTRIBUTES,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_NON_DIRECTORY_FILE);
            if (attrs != INVALID_HANDLE_VALUE &&
                is_where_named_in_walk(attrs, here, walk.entry.name)) {
                FILE_BASIC_INFO change = {};  // times of 0 stay as they are
                change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
                SetFileInformationByHandle(attrs, FileBasicInfo, &change, sizeof change);
            }
            if (attrs != INVALID_HANDLE_VALUE) CloseHandle(attrs);
            image = open_in_folder(here, walk.entry.name, FILE_WRITE_DATA | DELETE, 0,
                                   FILE_NON_DIRECTORY_FILE);
            code = image != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
            use = rr::judge_image_open(code, false);
        }
        if (image != INVALID_HANDLE_VALUE) CloseHandle(image);
        if (use != rr::image_use::free) worst = use;
    }
    close_levels(1, depth);
    return worst;
}

bool delete_in_folder(HANDLE folder, const wchar_t* name) {
    HANDLE file = INVALID_HANDLE_VALUE;
    const bool opened = retry_while_busy([&] {
        file = open_in_folder(folder, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              FILE_NON_DIRECTORY_FILE);
        return file != INVALID_HANDLE_VALUE;
    });
    if (!opened) return GetLastError() == ERROR_FILE_NOT_FOUND;
    const bool gone = is_where_named(file, folder, name) &&
                      retry_while_busy([&] { return delete_by_handle(file); });
    CloseHandle(file);
    return gone;
}

void hold_walks() { AcquireSRWLockExclusive(&walks_lock); }
void release_walks() { ReleaseSRWLockExclusive(&walks_lock); }

bool delete_file_at(const wchar_t* path) {
    const wchar_t* split = wcsrchr(path, L'\\');
    if (split == nullptr || split - path >= static_cast<std::ptrdiff_t>(path_capacity))
        return false;
    wchar_t folder_path[path_capacity];
    wmemcpy(folder_path, path, static_cast<std::size_t>(split - path));
    folder_path[split - path] = L'\0';
    const HANDLE folder = CreateFileW(folder_path,                                             //
                                      FILE_LIST_DIRECTORY | FILE_TRAVERSE,                     //
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                                      nullptr,                                                 //
                                      OPEN_EXISTING,                                           //
                                      FILE_FLAG_BACKUP_SEMANTICS,  // a folder opens only with it
                                      nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    hold_walks();
    const bool gone = delete_in_folder(folder, split + 1);
    release_walks();
    CloseHandle(folder);
    return gone;
}

bool empty_and_remove(HANDLE folder, const wchar_t* last, bool (*stop)()) {
    constexpr ACCESS_MASK access =
        DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    walk.folder_final_of = nullptr;
    walk.levels[0] = folder;
    std::size_t depth = 1;
    bool restart = true, whole = true, last_seen = false;
    while (depth > 0) {
        if (stop()) {
            whole = false;
            break;
        }
        HANDLE here = walk.levels[depth - 1];
        if (!next_listed(here, walk.entry, restart)) {
            restart = false;
            if (--depth == 0) break;
            // Emptied: the folder goes, through the handle it was emptied by.
            if (!retry_while_busy([&] { return delete_by_handle(here); })) whole = false;
            close_level(here);
            continue;
        }
        restart = false;
        if (depth == 1 && wcscmp(walk.entry.name, last) == 0) {
            last_seen = true;
            continue;
        }
        HANDLE met_handle = INVALID_HANDLE_VALUE;
        const met kind = open_met(here, walk.entry, access, met_handle);
        if (kind == met::folder && depth < max_levels) {
            walk.levels[depth++] = met_handle;
            restart = true;
            continue;
        }
        // A file, or a link of any kind: deleted as itself. What cannot be
        // is left alone, and the rest still goes.
        if (kind == met::other && retry_while_busy([&] { return delete_by_handle(met_handle); })) {
            CloseHandle(met_handle);
            continue;
        }
        if (met_handle != INVALID_HANDLE_VALUE) CloseHandle(met_handle);
        whole = false;
    }
    close_levels(1, depth);
    if (!whole) return false;
    // The marker goes last but one: rubbish that keeps it is still known
    // as ours, and an empty folder without it is removed all the same.
    if (last_seen && !delete_in_folder(folder, last)) return false;
    return retry_while_busy([&] { return delete_by_handle(folder); });
}
