// Runs a command and records its full 32-bit exit code, which Wine cuts to
// 8 bits on the way back to Linux.
//
//   exit_code_harness OUTFILE COMMAND-LINE...
//
// The rest of the harness's own command line after OUTFILE is handed to
// CreateProcessW unchanged, so the program sees exactly what was typed; the
// variable HARNESS_RAW_TAIL, when set, is added to it as it is (Wine quotes
// every argument it is given, so a line no quoting makes comes this way).
// The child inherits the standard handles. OUTFILE receives the exit code in
// unsigned decimal. The harness exits 0, or 125 when it could not run the
// command.
#include "command_line.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

// Console events are for the program under test: the harness outlives them
// so that it can still record the program's exit code.
BOOL WINAPI outlive_console_events(DWORD) { return TRUE; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleCtrlHandler(outlive_console_events, TRUE);
    if (argc < 3) {
        fputs("usage: exit_code_harness OUTFILE COMMAND-LINE...\n", stderr);
        return 125;
    }
    const wchar_t* rest = skip_argument(skip_argument(GetCommandLineW()));
    static wchar_t command_line[32768];
    if (wcslen(rest) >= sizeof command_line / sizeof command_line[0]) return 125;
    wcscpy(command_line, rest);
    static wchar_t raw_tail[32768];
    const DWORD tail = GetEnvironmentVariableW(L"HARNESS_RAW_TAIL", raw_tail, 32768);
    if (tail >= 32768 || wcslen(command_line) + tail >= 32768) return 125;
    wcscat(command_line, raw_tail);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!start_retrying(command_line, 0, startup, process)) return 125;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.hProcess, &code)) return 125;
    CloseHandle(process.hProcess);

    FILE* out = _wfopen(argv[1], L"w");
    if (out == nullptr) return 125;
    fprintf(out, "%lu\n", static_cast<unsigned long>(code));
    return fclose(out) == 0 ? 0 : 125;
}
