#include "launcher/base/environment.h"

#include "launcher/base/errors.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/path_forms.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

wchar_t value_buffer[env_value_capacity];  // scratch for reads, copied out
wchar_t own_path[own_path_capacity];       // empty until the first get_own_path
wchar_t own_long_form[own_path_capacity];  // the own path's long form, as asked

}  // namespace

void widen_ascii(const char* text, wchar_t* out, std::size_t capacity) {
    std::size_t n = 0;
    out[0] = L'\0';
    for (const char* p = text; *p != '\0'; ++p) {
        const char one[2] = {*p, '\0'};
        wchar_t unit[2] = {};
        if (mbstowcs(unit, one, 2) != 1) abnormal_end();
        if (n + 1 >= capacity) abnormal_end();
        out[n++] = unit[0];
        out[n] = L'\0';
    }
}

void own_process_id_text(wchar_t (&out)[process_id_text_capacity]) {
    // Decimal digits, written from the end of a scratch buffer.
    wchar_t digits[process_id_text_capacity];
    std::size_t at = process_id_text_capacity - 1;
    digits[at] = L'\0';
    DWORD id = GetCurrentProcessId();
    do {
        if (at == 0) abnormal_end();
        digits[--at] = static_cast<wchar_t>(L'0' + id % 10);
        id /= 10;
    } while (id != 0);
    for (std::size_t i = 0;; ++i) {
        out[i] = digits[at + i];
        if (out[i] == L'\0') break;
    }
}

wchar_t* read_environment_variable(const char* name) {
    wchar_t wide_name[env_name_capacity];
    widen_ascii(name, wide_name, env_name_capacity);
    const DWORD n = GetEnvironmentVariableW(wide_name, value_buffer, env_value_capacity);
    if (n == 0 || n >= env_value_capacity) return nullptr;
    return _wcsdup(value_buffer);
}

std::size_t read_environment_value(const wchar_t* name, wchar_t* out, std::size_t capacity) {
    const DWORD n = GetEnvironmentVariableW(name, out, static_cast<DWORD>(capacity));
    if (n == 0 || n >= capacity) {
        if (capacity > 0) out[0] = L'\0';
        return 0;
    }
    return n;
}

void set_environment_variable(const char* name, const wchar_t* value) {
    wchar_t wide_name[env_name_capacity];
    widen_ascii(name, wide_name, env_name_capacity);
    SetEnvironmentVariableW(wide_name, value);
}

void clear_environment_variable(const char* name) {
    wchar_t wide_name[env_name_capacity];
    widen_ascii(name, wide_name, env_name_capacity);
    SetEnvironmentVariableW(wide_name, nullptr);
}

namespace {

// Calls a path conversion (GetLongPathNameW, GetShortPathNameW) with the
// extended form of `path`, which the system takes at any length, and
// writes its answer in the ordinary form to `out` (own_path_capacity
// units). Its length, 0 when it failed or did not fit.
template <typename Call>
DWORD path_call_extended(const wchar_t* path, wchar_t* out, std::size_t capacity, Call call) {
    wchar_t extended[own_path_capacity + 8], answer[own_path_capacity + 8];
    if (!to_extended_form(path, extended, own_path_capacity + 8) &&
        !wide_copy(extended, own_path_capacity + 8, path)) {
        return 0;
    }
    const DWORD n = call(extended, answer, own_path_capacity + 8);
    if (n == 0 || n >= own_path_capacity + 8 || !to_ordinary_form(answer, out, capacity)) return 0;
    return static_cast<DWORD>(wcslen(out));
}

}  // namespace

module_path_state read_module_path(wchar_t* out, std::size_t capacity) {
    const DWORD n = GetModuleFileNameW(nullptr, out, static_cast<DWORD>(capacity));
    if (n == 0) {
        out[0] = L'\0';
        return module_path_state::unknown;
    }
    // A path that does not fit is cut to the room given, without its
    // terminator on older systems; the system says so only by filling it.
    if (n >= capacity) {
        out[capacity - 1] = L'\0';
        return module_path_state::cut;
    }
    // Asked in the extended form, which the system takes at any length.
    const DWORD m = path_call_extended(out, own_long_form, own_path_capacity, GetLongPathNameW);
    // A long form that does not fit leaves the spelling the system gave.
    if (m != 0 && m < own_path_capacity && m < capacity) wmemcpy(out, own_long_form, m + 1);
    return module_path_state::whole;
}

const wchar_t* get_own_path() {
    if (own_path[0] != L'\0') return own_path;

    if (read_module_path(own_path, own_path_capacity) != module_path_state::whole) abnormal_end();

    wchar_t* split = find_last_backslash(own_path, false);
    if (split == nullptr) return own_path;

    wchar_t* file_name = _wcsdup(split + 1);
    if (file_name == nullptr) abnormal_end();
    *split = L'\0';

    // The short form keeps the folder part free of blanks and non-ASCII
    // characters where the file system can; without one, the long folder stays.
    // A bare drive ("X:" for a launcher in a drive's root) is left alone: the
    // system would read it as that drive's current folder.
    const bool bare_drive = split == own_path + 2 && own_path[1] == L':';
    if (!bare_drive) {
        wchar_t* short_folder = static_cast<wchar_t*>(malloc(own_path_capacity * sizeof(wchar_t)));
        if (short_folder == nullptr) abnormal_end();
        const DWORD got =
            path_call_extended(own_path, short_folder, own_path_capacity, GetShortPathNameW);
        if (got != 0 && got < own_path_capacity) {
            wide_copy_or_abort(own_path, own_path_capacity, short_folder);
        }
        free(short_folder);
    }

    wide_append_or_abort(own_path, own_path_capacity, L"\\");
    wide_append_or_abort(own_path, own_path_capacity, file_name);
    free(file_name);
    return own_path;
}
