#include "launcher/child.h"

#include "launcher/base/build_values.h"
#include "launcher/base/busy_retry.h"
#include "launcher/base/environment.h"
#include "launcher/base/errors.h"
#include "launcher/base/fixed_buffer.h"
#include "launcher/launch_line.h"
#include "launcher/base/trace.h"
#include "launcher/platform/console.h"
#include "launcher/platform/processes.h"
#include "launcher/session_window.h"
#include "launcher/windowed.h"
#include "format/command_line.h"

#include <cwchar>

#ifndef STARTF_USEMONITOR
#define STARTF_USEMONITOR 0x00000400
#endif

namespace {

wchar_t child_line[command_line_capacity];      // rebuilt for every start
wchar_t module_path[path_capacity];             // the launcher's long path, filled once
wchar_t fixed_argument[command_line_capacity];  // a fixed argument once expanded
wchar_t short_program[path_capacity];           // the program's short form, when needed
wchar_t short_folder[path_capacity];            // the current folder's, when needed
wchar_t current_folder[path_capacity];          // the launcher's, read when it is inherited

// A copy of the program's process handle for the console handler, which
// waits on it for close, logoff and shutdown; set once, never closed (the
// process ends soon after the program does).
HANDLE volatile program_for_handler = nullptr;
// Set just before the program is created: from then on Ctrl+C belongs to it.
volatile LONG program_handed_over = 0;
// The job that ends the program if the launcher is killed (nullptr: none).
HANDLE program_job = nullptr;

// The attribute list that puts the program in the job as it is created: one
// attribute needs 48 bytes on x64; the size is checked at run time.
alignas(16) unsigned char attribute_list_space[128];

bool is_blank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// A job that ends the program when the launcher's last handle to it closes,
// which happens however the launcher ends. Breakaway stays as a direct start
// has it: a child asked to leave with CREATE_BREAKAWAY_FROM_JOB may, every
// other child of the program stays in this job and every job above it.
HANDLE make_program_job() {
    return create_job(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK);
}

// Once the program has ended, what it started (a server, an updater) must
// outlive the launcher as it would outlive a direct start: the job stops
// ending its processes when it closes.
void release_program_job() {
    if (program_job == nullptr) return;
    set_job_limits(program_job, JOB_OBJECT_LIMIT_BREAKAWAY_OK);
}

// The attribute list naming the job, or nullptr where the system has no such
// attribute (before Windows 10) or there is no job.
LPPROC_THREAD_ATTRIBUTE_LIST job_attribute_list(HANDLE* job) {
    if (*job == nullptr) return nullptr;
    return job_attribute_list_in(attribute_list_space, sizeof attribute_list_space, job);
}

// The form of `path` that CreateProcessW takes in `role`: the path itself
// when it is short enough, else its short (8.3) form where the volume has
// one; otherwise the start fails with a message that names the limit.
const wchar_t* startable_form(const wchar_t* path, wchar_t* buffer, path_role role) {
    if (fits_process_start(wcslen(path), role)) return path;
    const DWORD n = read_short_path(path, buffer, path_capacity);
    if (n == 0 || n >= path_capacity || !fits_process_start(n, role)) {
        fail_launch_path_too_long(path, role == path_role::program ? MAX_PATH - 1 : MAX_PATH - 2);
    }
    trace(L"%ls is too long to start %ls; its short form is %ls", path,
          role == path_role::program ? L"from" : L"in", buffer);
    return buffer;
}

// nullptr (the launcher's own folder) unless that folder is too long.
const wchar_t* startable_folder(const wchar_t* folder) {
    if (folder != nullptr) return startable_form(folder, short_folder, path_role::folder);
    const DWORD n = read_current_folder(current_folder, path_capacity);
    if (n == 0 || n >= path_capacity || fits_process_start(n, path_role::folder)) return nullptr;
    return startable_form(current_folder, short_folder, path_role::folder);
}

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

bool start_program_line(wchar_t* line, std::size_t capacity, const wchar_t* launcher_path) {
    const std::size_t n = wcslen(launcher_path);
    if (capacity < n + 3) return false;
    line[0] = L'"';
    wmemcpy(line + 1, launcher_path, n);
    line[n + 1] = L'"';
    line[n + 2] = L'\0';
    return true;
}

bool append_fixed_argument(wchar_t* line, std::size_t capacity, const wchar_t* argument) {
    const std::size_t before = wide_length_within(line, capacity);
    if (!wide_append(line, capacity, L" ")) return false;
    if (append_argument(line, capacity, argument)) return true;
    line[before] = L'\0';
    return false;
}

bool append_user_tail(wchar_t* line, std::size_t capacity, const wchar_t* tail,
                      bool after_fixed_arguments) {
    const bool separate = after_fixed_arguments && tail[0] != L'\0' && !is_blank(tail[0]);
    const std::size_t before = wide_length_within(line, capacity);
    if (separate && !wide_append(line, capacity, L" ")) return false;
    if (wide_append(line, capacity, tail)) return true;
    line[before] = L'\0';
    return false;
}

wchar_t* build_child_command_line() {
    if (module_path[0] == L'\0') {
        if (read_module_path(module_path, path_capacity) != module_path_state::whole)
            abnormal_end();
    }
    const wchar_t* tail = command_line::after_program_name(GetCommandLineW());
    // A line that does not fit is refused as Windows refuses one, never cut.
    bool fits = start_program_line(child_line, command_line_capacity, module_path);
    bool any_fixed = false;
    launch_text_cursor fixed = fixed_arguments();
    while (const wchar_t* text = next_launch_text(fixed)) {
        const expansion result =
            expand_launch_value(fixed_argument, command_line_capacity, text, false);
        if (result == expansion::failed) fail_template_expansion(text);
        if (result == expansion::too_long) fits = false;
        fits = fits && append_fixed_argument(child_line, command_line_capacity, fixed_argument);
        any_fixed = true;
    }
    fits = fits && append_user_tail(child_line, command_line_capacity, tail, any_fixed);
    if (!fits || wcslen(child_line) > command_line::max_units) {
        fail_launch(ERROR_FILENAME_EXCED_RANGE);
    }
    return child_line;
}

program_start decide_program_start(const STARTUPINFOW& received, const standard_handles& handles,
                                   bool console_launcher_without_console) {
    program_start start = {};
    STARTUPINFOW& s = start.startup;
    s.cb = sizeof s;
    // Everything the user's start said about the window, the feedback, the
    // title (or shortcut), the hotkey or monitor and the trust of its source.
    s.dwFlags = received.dwFlags & ~static_cast<DWORD>(STARTF_USESTDHANDLES);
    s.lpTitle = received.lpTitle;
    s.dwX = received.dwX;
    s.dwY = received.dwY;
    s.dwXSize = received.dwXSize;
    s.dwYSize = received.dwYSize;
    s.dwXCountChars = received.dwXCountChars;
    s.dwYCountChars = received.dwYCountChars;
    s.dwFillAttribute = received.dwFillAttribute;
    s.wShowWindow = received.wShowWindow;
    if ((received.dwFlags & (STARTF_USEHOTKEY | STARTF_USEMONITOR)) != 0) {
        s.hStdInput = received.hStdInput;  // the hotkey or the monitor
    } else if (handles.input != nullptr || handles.output != nullptr || handles.error != nullptr) {
        // A launcher without any standard handle (a windowed one started
        // from Explorer) passes none: a console program then gets those of
        // the console the system makes for it, as if Explorer had started it.
        s.dwFlags |= STARTF_USESTDHANDLES;
        s.hStdInput = handles.input;
        s.hStdOutput = handles.output;
        s.hStdError = handles.error;
    }
    // No priority class: the program inherits the launcher's, as it would
    // inherit its starter's (start /low, a scheduler's setting).
    start.creation_flags = console_launcher_without_console ? DETACHED_PROCESS : 0;
    return start;
}

console_response decide_console_event(DWORD event, bool program_started) {
    // Before the hand-over the launcher's own work is what Ctrl+C stops.
    if (!program_started) return console_response::end_launcher;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return console_response::leave_to_program;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return console_response::outlast_program;
        default:
            return console_response::end_launcher;
    }
}

bool fits_process_start(std::size_t units, path_role role) {
    return units <= (role == path_role::program ? MAX_PATH - 1 : MAX_PATH - 2);
}

BOOL WINAPI console_control_handler(DWORD event) {
    switch (decide_console_event(event, program_handed_over != 0)) {
        case console_response::leave_to_program:
            return TRUE;
        case console_response::outlast_program: {
            // The system ends the launcher when its time is up; until then
            // the program gets all of it, and the launcher's code is its own.
            const HANDLE program = program_for_handler;
            if (program == nullptr) return FALSE;
            wait_for_process(program);
            DWORD code = 1;
            if (!read_exit_code(program, code)) code = 1;
            release_program_job();
            end_process(code);
        }
        case console_response::end_launcher:
            break;
    }
    return FALSE;
}

std::uint32_t run_child(const wchar_t* program_path, const wchar_t* folder, void (*after_start)()) {
    // A payload without entries leaves nothing to start.
    if (program_path[0] == L'\0') fail_launch(ERROR_FILE_NOT_FOUND);

    wchar_t* line = build_child_command_line();
    const wchar_t* program = startable_form(program_path, short_program, path_role::program);
    const wchar_t* start_folder = startable_folder(folder);
    trace(L"program %ls", program_path);
    trace(L"command line %ls", line);
    if (folder != nullptr) trace(L"current folder %ls", folder);

    STARTUPINFOW received;
    read_startup_info(received);
    const standard_handles handles = read_standard_handles();
    // Attached to no console at all, which is not the same as having no
    // console window: a headless or pseudo console (a service's, ssh's) has
    // none, yet its programs share its Ctrl+C.
    const bool without_console = !launcher_build_values().windowed && !attached_to_console();
    const program_start decided = decide_program_start(received, handles, without_console);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo = decided.startup;

    program_job = make_program_job();
    startup.lpAttributeList = job_attribute_list(&program_job);
    const bool joins_at_creation = startup.lpAttributeList != nullptr;
    InterlockedExchange(&program_handed_over, 1);
    PROCESS_INFORMATION child = {};
    const auto create = [&](bool at_creation) {
        startup.StartupInfo.cb = at_creation ? sizeof startup : sizeof startup.StartupInfo;
        return create_process(
            program,  // the first unpacked file
            line,     // the launcher's path, the fixed arguments, the user's tail
            true,     // inherit handles
            decided.creation_flags |
                (at_creation ? EXTENDED_STARTUPINFO_PRESENT  // in the job from its start
                             : CREATE_SUSPENDED),            // joins it before it runs
            nullptr,                                         // the launcher's environment
            start_folder,  // nullptr: the launcher's current folder
            &startup.StartupInfo, child);
    };
    // A scanner reading the freshly written program keeps it from starting
    // for a moment. A system that takes the attribute list yet refuses the
    // start with it (a job it cannot nest) gets the suspended start.
    bool at_creation = joins_at_creation;
    bool started = retry_while_busy([&] { return create(at_creation); });
    if (!started && at_creation) {
        at_creation = false;
        started = retry_while_busy([&] { return create(false); });
    }
    if (!started) {
        const DWORD code = GetLastError();
        trace(L"the program did not start: error %lu", code);
        fail_launch(code);
    }
    trace(L"program started, process %lu", child.dwProcessId);
    if (!at_creation) {
        // Where jobs cannot nest (a launcher already in a job on an old
        // system) the program simply runs outside one.
        if (program_job != nullptr && !join_job(program_job, child.hProcess)) {
            CloseHandle(program_job);
            program_job = nullptr;
        }
        resume_thread(child.hThread);
    }
    CloseHandle(child.hThread);
    // With no console of its own the launcher has no window that would make
    // the program's the foreground one: it hands its right on.
    if (!has_console_window()) allow_foreground_for(child.dwProcessId);
    const HANDLE for_handler =
        duplicate_own_handle(child.hProcess, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION);
    if (for_handler != nullptr) program_for_handler = for_handler;
    listen_for_session_end(launcher_build_values().windowed, console_control_handler);
    if (after_start != nullptr) after_start();

    wait_for_process(child.hProcess);
    DWORD exit_code = 0;
    if (!read_exit_code(child.hProcess, exit_code)) exit_code = 1;
    trace(L"program ended, exit code %lu (0x%08lX)", exit_code, exit_code);
    CloseHandle(child.hProcess);
    release_program_job();
    return exit_code;
}
