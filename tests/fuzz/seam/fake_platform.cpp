#include "tests/fuzz/seam/fake_platform.h"

#include "launcher/base/build_values.h"

#include <shlobj.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

fake_platform_state state;
std::vector<wchar_t*> copies;  // from _wcsdup, freed by reset_fake_platform
build_values values;

std::wstring upper_name(const wchar_t* name) {
    std::wstring out(name);
    for (wchar_t& c : out) {
        if (c >= L'a' && c <= L'z') c = c - L'a' + L'A';
    }
    return out;
}

// Text that fits with its terminator is copied and its length returned;
// otherwise the size it needs, terminator included, is returned. Windows
// leaves the buffer undefined then: the fake scribbles over all of it, so a
// caller that trusts it shows up.
DWORD copy_or_need(const std::wstring& text, wchar_t* buffer, DWORD size) {
    if (text.size() < size) {
        wmemcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    }
    wmemset(buffer, L'#', size);
    return static_cast<DWORD>(text.size() + 1);
}

}  // namespace

fake_platform_state& fake_platform() { return state; }

void reset_fake_platform() {
    for (wchar_t* copy : copies) free(copy);
    copies.clear();
    state = fake_platform_state{};
    state.module_path = L"C:\\Users\\Fuzz\\Downloads\\Orvelle Setup\\Orvelle.exe";
    state.temp_path = L"C:\\Users\\Fuzz\\AppData\\Local\\Temp\\";
    state.profile = L"C:\\Users\\Fuzz";
    state.local_appdata = L"C:\\Users\\Fuzz\\AppData\\Local";
    state.extraction_template = L"{CACHE_DIR}\\Orvelle";
    state.company = L"Quenmar Ltd";
    state.product = L"Orvelle";
    state.version = L"1.26.0.0";
}

const build_values& launcher_build_values() {
    values = build_values{state.extraction_template.c_str(),
                          state.company.c_str(),
                          state.product.c_str(),
                          state.version.c_str(),
                          nullptr,
                          0,
                          nullptr,
                          0,
                          false,
                          nullptr,
                          0,
                          0,
                          0,
                          0};
    return values;
}

// A path that does not fit is cut and the size returned: to size - 1 units
// and a terminator on Windows Vista and later, to size units and no
// terminator on Windows XP and under Wine.
// The module path is its own long form; a path the fake does not know (one
// cut short) names no file.
DWORD GetLongPathNameW(const wchar_t* short_path, wchar_t* buffer, DWORD size) {
    const std::wstring& path = state.module_path;
    if (path != short_path) return 0;
    if (path.size() >= size) return static_cast<DWORD>(path.size() + 1);
    wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

DWORD GetModuleFileNameW(HMODULE, wchar_t* buffer, DWORD size) {
    const std::wstring& path = state.module_path;
    if (path.empty() || size == 0) return 0;
    if (path.size() < size) {
        wmemcpy(buffer, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    if (state.module_path_cut_unterminated) {
        wmemcpy(buffer, path.c_str(), size);
    } else {
        wmemcpy(buffer, path.c_str(), size - 1);
        buffer[size - 1] = L'\0';
    }
    return size;
}

DWORD GetTempPathW(DWORD size, wchar_t* buffer) {
    if (state.temp_path.empty()) return 0;
    return copy_or_need(state.temp_path, buffer, size);
}

// No short names on the fake disk: the long form stays.
DWORD GetShortPathNameW(const wchar_t*, wchar_t*, DWORD) { return 0; }

DWORD GetEnvironmentVariableW(const wchar_t* name, wchar_t* buffer, DWORD size) {
    const auto it = state.environment.find(upper_name(name));
    if (it == state.environment.end() || it->second.empty()) return 0;
    return copy_or_need(it->second, buffer, size);
}

BOOL SetEnvironmentVariableW(const wchar_t* name, const wchar_t* value) {
    if (value == nullptr) {
        state.environment.erase(upper_name(name));
    } else {
        state.environment[upper_name(name)] = value;
    }
    return 1;
}

DWORD GetCurrentProcessId() { return 4242; }

BOOL QueryPerformanceCounter(LARGE_INTEGER* counter) {
    counter->QuadPart = 987654321012;
    return 1;
}

void GetSystemTimeAsFileTime(FILETIME* now) {
    const std::uint64_t t = 133485408001234567ull;  // early 2024
    now->dwLowDateTime = static_cast<DWORD>(t);
    now->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

HRESULT SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, wchar_t* path) {
    const HRESULT failed = static_cast<HRESULT>(0x80004005u);  // E_FAIL
    const std::wstring* value = folder == CSIDL_PROFILE         ? &state.profile
                                : folder == CSIDL_LOCAL_APPDATA ? &state.local_appdata
                                                                : nullptr;
    if (value == nullptr || value->empty() || value->size() >= MAX_PATH) return failed;
    wmemcpy(path, value->c_str(), value->size() + 1);
    return S_OK;
}

wchar_t* _wcsdup(const wchar_t* text) {
    const std::size_t n = wcslen(text) + 1;
    wchar_t* copy = static_cast<wchar_t*>(malloc(n * sizeof(wchar_t)));
    if (copy == nullptr) return nullptr;
    wmemcpy(copy, text, n);
    copies.push_back(copy);
    return copy;
}
