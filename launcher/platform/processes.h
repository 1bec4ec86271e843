// Processes: the program's start, the job it runs in, its wait and its exit
// code, and the launcher's own process settings. The room (child.cpp)
// decides every argument; these only make the calls.
#pragma once

#include <windows.h>

// A job whose extended limits carry `limit_flags` (the basic limit flags,
// nothing else), or nullptr when it cannot be made or set.
HANDLE create_job(DWORD limit_flags);

// Sets the job's extended limits anew to `limit_flags`.
bool set_job_limits(HANDLE job, DWORD limit_flags);

// Builds in `space` (`size` bytes) an attribute list naming `*job`, which
// must live as long as the list. nullptr where the system has no such
// attribute (before Windows 10) or the list does not fit.
LPPROC_THREAD_ATTRIBUTE_LIST job_attribute_list_in(void* space, SIZE_T size, HANDLE* job);

// Puts a suspended process into a job; false where jobs cannot nest.
bool join_job(HANDLE job, HANDLE process);

// The start the launcher itself was given (GetStartupInfoW).
void read_startup_info(STARTUPINFOW& out);

// CreateProcessW with no security attributes of its own; `startup` is a
// STARTUPINFOW or, with EXTENDED_STARTUPINFO_PRESENT in `flags`, the head of a
// STARTUPINFOEXW. False with GetLastError telling why.
bool create_process(const wchar_t* program, wchar_t* line, bool inherit_handles, DWORD flags,
                    void* environment, const wchar_t* folder, STARTUPINFOW* startup,
                    PROCESS_INFORMATION& out);

// Lets a process created suspended run.
void resume_thread(HANDLE thread);

// A handle of this process's own to what `handle` has open, with `access`
// only and not inherited; nullptr when it cannot be made.
HANDLE duplicate_own_handle(HANDLE handle, DWORD access);

// Waits without limit until the process ends.
void wait_for_process(HANDLE process);

// The exit code of an ended process; false when it cannot be read.
bool read_exit_code(HANDLE process, DWORD& code);

// Ends the launcher at once with `code`.
[[noreturn]] void end_process(DWORD code);

// Where the launcher stands in the order Windows ends processes at logoff
// and shutdown (no retry flags).
void set_shutdown_level(DWORD level);

// The launcher's current folder into `out` (`capacity` units); the length,
// or the room needed (terminator included) when it does not fit, or 0.
DWORD read_current_folder(wchar_t* out, DWORD capacity);

// The short (8.3) form of `path` into `out` (`capacity` units); as
// read_current_folder for the count.
DWORD read_short_path(const wchar_t* path, wchar_t* out, DWORD capacity);
