// Finds, starts and ends Windows processes, and tells the running system's
// text for an error code.
//
//   process_tool count NAME   prints how many processes run NAME (any case), exits 0
//   process_tool kill NAME    ends each of them with TerminateProcess (exit code 1);
//                             exits 0 if it ended one, 1 if none ran
//   process_tool message CODE prints the US-English system text for CODE (decimal)
//                             without its line end, as the launcher's messages
//                             carry it; exits 1 when the system has none
//   process_tool start N GAP_MS COMMAND-LINE...
//                             starts the rest of its own command line, unchanged, N
//                             times (at most 64): with GAP_MS 0 all are made
//                             suspended and then let go together, else GAP_MS ms
//                             apart. They inherit standard input and error; their
//                             output goes to NUL. Waits for all, then prints their
//                             exit codes in start order, one a line; exits 0
//   process_tool unseen TIMEOUT_MS COMMAND-LINE...
//                             starts the rest of its own command line on a new window
//                             station, which nobody sees (as a service's); prints its
//                             exit code and exits 0, or ends it and exits 124 when it
//                             is still running after TIMEOUT_MS
//
// Exits 125 on a usage error or when the process list cannot be read.
#include "command_line.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

// Calls act(process id) for each process other than this one running `name`;
// returns how many there were, or -1 when the list cannot be read.
template <typename Act>
int for_each_named(const wchar_t* name, Act act) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() || _wcsicmp(entry.szExeFile, name) != 0) {
            continue;
        }
        ++found;
        act(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

int start_copies(int copies, DWORD gap_ms) {
    const wchar_t* rest = GetCommandLineW();
    for (int i = 0; i < 4; ++i) rest = skip_argument(rest);
    if (copies < 1 || copies > MAXIMUM_WAIT_OBJECTS || *rest == L'\0') return 125;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inheritable, OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE) return 125;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = nul;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    static wchar_t line[32768];
    HANDLE processes[MAXIMUM_WAIT_OBJECTS];
    HANDLE threads[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < copies; ++i) {
        if (i > 0 && gap_ms > 0) Sleep(gap_ms);
        wcsncpy(line, rest, 32767);  // CreateProcessW may write into it
        PROCESS_INFORMATION process = {};
        if (!start_retrying(line, gap_ms == 0 ? CREATE_SUSPENDED : 0, startup, process)) {
            return 125;
        }
        processes[i] = process.hProcess;
        threads[i] = process.hThread;
    }
    for (int i = 0; i < copies; ++i) {
        if (gap_ms == 0) ResumeThread(threads[i]);
    }
    WaitForMultipleObjects(copies, processes, TRUE, INFINITE);
    for (int i = 0; i < copies; ++i) {
        DWORD code = 0;
        if (!GetExitCodeProcess(processes[i], &code)) return 125;
        printf("%lu\n", static_cast<unsigned long>(code));
    }
    return 0;
}

int start_unseen(DWORD timeout_ms) {
    const wchar_t* rest = GetCommandLineW();
    for (int i = 0; i < 3; ++i) rest = skip_argument(rest);
    // A desktop is made on the process's own station, so this one switches
    // to the new station for the moment it takes.
    const HWINSTA own = GetProcessWindowStation();
    const HWINSTA station = CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
    if (*rest == L'\0' || station == nullptr || !SetProcessWindowStation(station)) return 125;
    const HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    static wchar_t station_name[256], desktop_path[300];
    if (desktop == nullptr ||
        !GetUserObjectInformationW(station, UOI_NAME, station_name, sizeof station_name, nullptr)) {
        return 125;
    }
    swprintf(desktop_path, 300, L"%ls\\Default", station_name);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop_path;
    static wchar_t line[32768];
    wcsncpy(line, rest, 32767);  // CreateProcessW may write into it
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 125;
    }
    if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
        return 124;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.hProcess, &code)) return 125;
    printf("%lu\n", static_cast<unsigned long>(code));
    return 0;
}

int print_system_text(const wchar_t* code_text) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, wcstoul(code_text, nullptr, 10), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n == 0 || text == nullptr) return 1;
    DWORD length = n;
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
    fwrite(text, 1, length, stdout);
    LocalFree(text);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 5 && wcscmp(argv[1], L"start") == 0) {
        return start_copies(_wtoi(argv[2]), wcstoul(argv[3], nullptr, 10));
    }
    if (argc >= 4 && wcscmp(argv[1], L"unseen") == 0) {
        return start_unseen(wcstoul(argv[2], nullptr, 10));
    }
    if (argc != 3) return 125;
    if (wcscmp(argv[1], L"message") == 0) return print_system_text(argv[2]);
    if (wcscmp(argv[1], L"count") == 0) {
        const int found = for_each_named(argv[2], [](DWORD) {});
        if (found < 0) return 125;
        printf("%d\n", found);
        return 0;
    }
    if (wcscmp(argv[1], L"kill") == 0) {
        int ended = 0;
        const int found = for_each_named(argv[2], [&ended](DWORD id) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
            if (process == nullptr) return;
            if (TerminateProcess(process, 1)) {
                // Gone from the list once this returns, so a count right
                // after sees the outcome.
                WaitForSingleObject(process, 5000);
                ++ended;
            }
            CloseHandle(process);
        });
        if (found < 0) return 125;
        return ended > 0 ? 0 : 1;
    }
    return 125;
}
