#include "launcher/child.h"

#include "launcher/busy_retry.h"
#include "launcher/environment.h"
#include "launcher/errors.h"
#include "launcher/fixed_buffer.h"
#include "launcher/launch_line.h"
#include "launcher/trace.h"
#include "format/command_line.h"

#include <shellapi.h>

#include <cwchar>

namespace {

constexpr DWORD grace_period_ms = 5000;

wchar_t child_line[command_line_capacity];      // rebuilt for every start
wchar_t module_path[path_capacity];             // the launcher's long path, filled once
wchar_t fixed_argument[command_line_capacity];  // a fixed argument once expanded

// The handle the console handler may act on: a duplicate of the child's
// process handle, owned by whoever takes it out of the record. Taking is an
// atomic exchange, so the handle is closed exactly once and never used after.
// The main thread waits on its own handle, which nothing else closes.
HANDLE volatile recorded_child = nullptr;

HANDLE exchange_recorded_child(HANDLE replacement) {
    return static_cast<HANDLE>(
        InterlockedExchangePointer(const_cast<PVOID volatile*>(&recorded_child), replacement));
}

HANDLE take_recorded_child() { return exchange_recorded_child(nullptr); }

}  // namespace

bool append_argument(wchar_t* line, std::size_t capacity, const wchar_t* argument) {
    const std::size_t before = wide_length_within(line, capacity);
    if (before >= capacity) return false;
    std::size_t length = before;
    const bool fits = command_line::quote_argument(argument, [&](wchar_t unit) {
        if (capacity - length <= 1) return false;
        line[length++] = unit;
        return true;
    });
    line[fits ? length : before] = L'\0';
    return fits;
}

bool join_arguments(wchar_t* line, std::size_t capacity, wchar_t* const* argv, int argc) {
    if (capacity == 0) return false;
    line[0] = L'\0';
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && !wide_append(line, capacity, L" ")) return false;
        if (!append_argument(line, capacity, argv[i])) return false;
    }
    return true;
}

wchar_t* build_child_command_line() {
    int argc = 0;
    // The array is kept until exit.
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 1) abnormal_end();
    if (module_path[0] == L'\0') {
        if (read_module_path(module_path, path_capacity) != module_path_state::whole)
            abnormal_end();
    }
    argv[0] = module_path;
    // The launcher's path, the fixed arguments, then the user's. A line that
    // does not fit is refused as Windows refuses one, never cut.
    bool fits = join_arguments(child_line, command_line_capacity, argv, 1);
    launch_text_cursor fixed = fixed_arguments();
    while (const wchar_t* text = next_launch_text(fixed)) {
        const expansion result =
            expand_launch_value(fixed_argument, command_line_capacity, text, false);
        if (result == expansion::failed) fail_template_expansion(text);
        if (result == expansion::too_long) fits = false;
        fits = fits && wide_append(child_line, command_line_capacity, L" ") &&
               append_argument(child_line, command_line_capacity, fixed_argument);
    }
    for (int i = 1; i < argc && fits; ++i) {
        fits = wide_append(child_line, command_line_capacity, L" ") &&
               append_argument(child_line, command_line_capacity, argv[i]);
    }
    if (!fits) fail_launch(ERROR_FILENAME_EXCED_RANGE);
    return child_line;
}

void record_child_for_cleanup(HANDLE process) {
    if (HANDLE previous = exchange_recorded_child(process)) CloseHandle(previous);
}

void tie_child_to_launcher(HANDLE child) {
    // The job is never closed by hand: the system closes it when the launcher
    // ends, however it ends, and then ends the child too. Processes the child
    // starts leave the job silently, so what it starts on purpose lives on.
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    // Where jobs cannot nest (a launcher already in a job on an old system)
    // the child simply runs outside one.
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, child)) {
        CloseHandle(job);
    }
}

std::uint32_t run_child(const wchar_t* program_path, const wchar_t* folder, void (*after_start)()) {
    // A payload without entries leaves nothing to start.
    if (program_path[0] == L'\0') fail_launch(ERROR_FILE_NOT_FOUND);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // A launcher without any standard handle (a windowed one started from
    // Explorer) passes none: a console child then gets the handles of the
    // console the system makes for it, as if Explorer had started it.
    if (startup.hStdInput != nullptr || startup.hStdOutput != nullptr ||
        startup.hStdError != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
    }
    PROCESS_INFORMATION child = {};
    wchar_t* line = build_child_command_line();
    trace(L"program %ls", program_path);
    trace(L"command line %ls", line);
    if (folder != nullptr) trace(L"current folder %ls", folder);
    // A scanner reading the freshly written program keeps it from starting
    // for a moment.
    const bool started = retry_while_busy([&] {
        return CreateProcessW(program_path,  // the first unpacked file
                              line,          // the launcher's arguments, re-quoted
                              nullptr,       // process security attributes
                              nullptr,       // thread security attributes
                              TRUE,          // inherit handles
                              NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED,  // joins the job first
                              nullptr,  // the launcher's environment
                              folder,   // nullptr: the launcher's current folder
                              &startup, &child) != FALSE;
    });
    if (!started) {
        const DWORD code = GetLastError();
        trace(L"the program did not start: error %lu", code);
        fail_launch(code);
    }
    trace(L"program started, process %lu", child.dwProcessId);
    if (after_start != nullptr) after_start();
    tie_child_to_launcher(child.hProcess);
    ResumeThread(child.hThread);
    CloseHandle(child.hThread);

    // The console handler gets a copy of its own to wait on and close. Without
    // one (the system refused the copy) the child still receives every
    // console event itself; only the forced end after the grace period is lost.
    HANDLE for_handler = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &for_handler, 0,
                        FALSE, DUPLICATE_SAME_ACCESS)) {
        record_child_for_cleanup(for_handler);
    }

    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(child.hProcess, &exit_code)) exit_code = 1;
    trace(L"program ended, exit code %lu (0x%08lX)", exit_code, exit_code);
    CloseHandle(child.hProcess);
    // The child has ended: drop the handler's copy, so the clean-up step
    // below finds nothing left to do.
    if (HANDLE copy = take_recorded_child()) CloseHandle(copy);
    cleanup_child();
    return exit_code;
}

void cleanup_child() {
    HANDLE process = take_recorded_child();
    if (process == nullptr) return;
    if (WaitForSingleObject(process, grace_period_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process, 0);
    }
    CloseHandle(process);
}

BOOL WINAPI console_control_handler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            cleanup_child();
            break;
        default:
            break;
    }
    return FALSE;
}
