// Exactly the part of <windows.h> that launcher/template.cpp,
// launcher/platform/system_folders.cpp and launcher/base/environment.cpp use,
// for the Linux fuzz build only (this folder is on the include path of no
// other build). The functions are deterministic fakes over the state in
// fake_platform.h, and keep Windows' rules on buffer sizes, so a fault the
// fuzzer finds is the launcher's, not the fake's.
#pragma once

#include <cstdint>

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef std::int32_t HRESULT;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HWND;

constexpr HRESULT S_OK = 0;
constexpr DWORD MAX_PATH = 260;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        std::int32_t HighPart;
    } u;
    std::int64_t QuadPart;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

DWORD GetModuleFileNameW(HMODULE module, wchar_t* buffer, DWORD size);
DWORD GetTempPathW(DWORD size, wchar_t* buffer);
DWORD GetShortPathNameW(const wchar_t* long_path, wchar_t* buffer, DWORD size);
DWORD GetLongPathNameW(const wchar_t* short_path, wchar_t* buffer, DWORD size);
DWORD GetEnvironmentVariableW(const wchar_t* name, wchar_t* buffer, DWORD size);
BOOL SetEnvironmentVariableW(const wchar_t* name, const wchar_t* value);
DWORD GetCurrentProcessId();
BOOL QueryPerformanceCounter(LARGE_INTEGER* counter);
void GetSystemTimeAsFileTime(FILETIME* now);

// The C runtime's copy of a wide text (mingw declares it with <windows.h>).
wchar_t* _wcsdup(const wchar_t* text);
