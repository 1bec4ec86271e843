// A child program for the end-to-end tests: reports exactly what it received
// and behaves as the environment asks.
//
// Prints, one per line:
//   arg <UTF-16 units in hex, blank-separated>   for each argument of
//                                                CommandLineToArgvW(GetCommandLineW())
//   env NAME=<value>                             for each FENWIX_ variable (or "(unset)")
//   cwd <current folder>
// Then, by PROBE_MODE:
//   (unset)        exits with PROBE_EXIT (decimal or 0x hex, default 0)
//   wait           sleeps a minute, with Ctrl+C handled by the system (ends it)
//   ignore-ctrl-c  sleeps a minute, ignoring Ctrl+C and Ctrl+Break
// and writes "ctrl" to the file PROBE_MARK when it sees a console event.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

const wchar_t* const variables[] = {
    L"FENWIX_ONEFILE_PARENT", L"FENWIX_ONEFILE_DIRECTORY", L"FENWIX_ORIGINAL_ARGV0",
    L"FENWIX_ONEFILE_RANDOM", L"FENWIX_ONEFILE_START",     L"FENWIX_ONEFILE_TIME_US",
};

void print_utf8(const wchar_t* text) {
    static char narrow[65536];
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    fputs(n > 0 ? narrow : "?", stdout);
}

void mark(const char* what) {
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"PROBE_MARK", path, MAX_PATH) == 0) return;
    HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, what, static_cast<DWORD>(strlen(what)), &written, nullptr);
    CloseHandle(f);
}

BOOL WINAPI ignoring_handler(DWORD) {
    mark("ctrl\n");
    return TRUE;
}

BOOL WINAPI noting_handler(DWORD) {
    mark("ctrl\n");
    return FALSE;
}

}  // namespace

int wmain() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 0; i < argc; ++i) {
        printf("arg");
        for (const wchar_t* p = argv[i]; *p; ++p) printf(" %04x", static_cast<unsigned>(*p));
        printf("\n");
    }
    static wchar_t value[32768];
    for (const wchar_t* name : variables) {
        printf("env ");
        print_utf8(name);
        printf("=");
        print_utf8(GetEnvironmentVariableW(name, value, 32768) ? value : L"(unset)");
        printf("\n");
    }
    GetCurrentDirectoryW(32768, value);
    printf("cwd ");
    print_utf8(value);
    printf("\n");
    fflush(stdout);

    wchar_t mode[64] = L"";
    GetEnvironmentVariableW(L"PROBE_MODE", mode, 64);
    if (wcscmp(mode, L"wait") == 0 || wcscmp(mode, L"ignore-ctrl-c") == 0) {
        SetConsoleCtrlHandler(wcscmp(mode, L"wait") == 0 ? noting_handler : ignoring_handler, TRUE);
        mark("started\n");
        Sleep(60000);
        mark("finished\n");
        return 0;
    }
    wchar_t code[64] = L"0";
    GetEnvironmentVariableW(L"PROBE_EXIT", code, 64);
    return static_cast<int>(wcstoul(code, nullptr, 0));
}
