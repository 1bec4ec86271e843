#include "launcher/base/path_forms.h"

#include "launcher/base/fixed_buffer.h"

#include <cwchar>

namespace {

const wchar_t extended_prefix[] = L"\\\\?\\";
const wchar_t extended_share_prefix[] = L"\\\\?\\UNC\\";
constexpr std::size_t extended_prefix_units = 4;
constexpr std::size_t extended_share_prefix_units = 8;

bool starts_with(const wchar_t* text, const wchar_t* start) {
    return wcsncmp(text, start, wcslen(start)) == 0;
}

// The end of a share's root: past the server and share levels at `levels`.
std::size_t share_root_end(const wchar_t* path, std::size_t levels) {
    std::size_t end = levels;
    for (int level = 0; level < 2; ++level) {
        while (path[end] != L'\0' && path[end] != L'\\') ++end;
        if (level == 0) {
            if (path[end] == L'\0') return 0;  // a server without a share
            ++end;
        }
    }
    return end;
}

}  // namespace

bool to_extended_form(const wchar_t* full, wchar_t* out, std::size_t capacity) {
    if (starts_with(full, extended_prefix)) return false;
    const bool share = full[0] == L'\\' && full[1] == L'\\';
    // A share keeps its server and share after "\\?\UNC\" without the two
    // leading backslashes.
    return share ? wide_copy(out, capacity, extended_share_prefix) &&
                       wide_append(out, capacity, full + 2)
                 : wide_copy(out, capacity, extended_prefix) && wide_append(out, capacity, full);
}

bool to_ordinary_form(const wchar_t* path, wchar_t* out, std::size_t capacity) {
    if (starts_with(path, extended_share_prefix)) {
        return wide_copy(out, capacity, L"\\\\") &&
               wide_append(out, capacity, path + extended_share_prefix_units);
    }
    if (starts_with(path, extended_prefix)) {
        return wide_copy(out, capacity, path + extended_prefix_units);
    }
    return wide_copy(out, capacity, path);
}

std::size_t root_length(const wchar_t* path) {
    if (starts_with(path, extended_share_prefix)) {
        return share_root_end(path, extended_share_prefix_units);
    }
    std::size_t start = 0;
    if (starts_with(path, extended_prefix)) {
        start = extended_prefix_units;
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        return share_root_end(path, 2);
    }
    const wchar_t* drive = path + start;
    return drive[0] != L'\0' && drive[1] == L':' ? start + 2 : 0;
}
