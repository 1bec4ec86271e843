// The decisions of removing from handles, apart from the calls that gather
// their facts: whether an opened candidate is the folder the listing named,
// and whether a version's programs and libraries are in use. Windows shows
// what Wine cannot (a mapped image refusing to be opened for writing), so
// these are tested as they are.
//
// Pure: no system call.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace removal_rules {

// Why an opened candidate is left alone; `none` when it may be worked on.
enum class candidate_fault { none, a_link, not_a_folder, other_id, elsewhere };

// What a handle holds, against what the listing of the held parent said:
// a real folder (a link of any kind is never entered, whatever it leads
// to), with the id listed (not one swapped in since), whose final name is
// the held parent's and its own name.
inline candidate_fault judge_candidate(DWORD attributes, std::uint64_t id, std::uint64_t listed_id,
                                       bool in_held_parent) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return candidate_fault::a_link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return candidate_fault::not_a_folder;
    if (id != listed_id) return candidate_fault::other_id;
    if (!in_held_parent) return candidate_fault::elsewhere;
    return candidate_fault::none;
}

// Whether `child` (a final name) is `parent` (a final name), a backslash and
// `name`. Names compare as the file system does: without regard to case,
// which the caller's `same` decides (CompareStringOrdinal with case ignored
// on Windows).
template <typename Same>
bool is_child_of(const wchar_t* parent, const wchar_t* child, const wchar_t* name, Same same) {
    std::size_t p = 0;
    while (parent[p] != L'\0') ++p;
    // A parent that is a volume's root ends in a backslash already.
    const bool has_separator = p > 0 && parent[p - 1] == L'\\';
    std::size_t c = 0;
    while (child[c] != L'\0') ++c;
    const std::size_t at = has_separator ? p : p + 1;
    if (c <= at || !same(child, p, parent, p)) return false;
    if (!has_separator && child[p] != L'\\') return false;
    std::size_t n = 0;
    while (name[n] != L'\0') ++n;
    return c - at == n && same(child + at, n, name, n);
}

// What opening a program or library of a version for writing, shared with
// no one, says about it. A program running from it (started by a
// shortcut, a helper that outlived its launcher, a restart by the system)
// has it mapped, and Windows refuses writing a mapped image with a sharing
// violation; a file anyone has open at all is refused the same way.
// A read-only file refuses writing whatever its use: its attribute is
// cleared first (it is about to go). Anything else tells nothing, and a
// folder nobody can vouch for is left for a later start.
enum class image_use { free, in_use, read_only, unsure };

inline image_use judge_image_open(DWORD code, bool read_only) {
    switch (code) {
        case ERROR_SUCCESS:
        case ERROR_FILE_NOT_FOUND:  // gone since the listing: nothing runs from it
            return image_use::free;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return image_use::in_use;
        case ERROR_ACCESS_DENIED:
            return read_only ? image_use::read_only : image_use::unsure;
        default:
            return image_use::unsure;
    }
}

// Whether a name is a program's or a library's, whose use the check asks:
// ".exe" or ".dll" in any case.
inline bool is_image_name(const wchar_t* name) {
    std::size_t n = 0;
    while (name[n] != L'\0') ++n;
    if (n < 4 || name[n - 4] != L'.') return false;
    wchar_t ext[3];
    for (int i = 0; i < 3; ++i) {
        const wchar_t u = name[n - 3 + i];
        ext[i] = u >= L'A' && u <= L'Z' ? static_cast<wchar_t>(u - L'A' + L'a') : u;
    }
    return (ext[0] == L'e' && ext[1] == L'x' && ext[2] == L'e') ||
           (ext[0] == L'd' && ext[1] == L'l' && ext[2] == L'l');
}

// A version folder goes only when no launcher holds it (its open, shared
// with no one, succeeded) and each of its programs and libraries was found
// free.
inline bool folder_is_free(bool held_by_a_launcher, image_use worst) {
    return !held_by_a_launcher && worst == image_use::free;
}

}  // namespace removal_rules
