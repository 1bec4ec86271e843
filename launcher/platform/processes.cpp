#include "launcher/platform/processes.h"

HANDLE create_job(DWORD limit_flags) {
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    if (!set_job_limits(job, limit_flags)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

bool set_job_limits(HANDLE job, DWORD limit_flags) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = limit_flags;
    return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) != FALSE;
}

LPPROC_THREAD_ATTRIBUTE_LIST job_attribute_list_in(void* space, SIZE_T size, HANDLE* job) {
    const auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(space);
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return nullptr;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, job, sizeof *job,
                                   nullptr, nullptr)) {
        DeleteProcThreadAttributeList(list);
        return nullptr;
    }
    return list;
}

bool join_job(HANDLE job, HANDLE process) {
    return AssignProcessToJobObject(job, process) != FALSE;
}

void read_startup_info(STARTUPINFOW& out) {
    out = {};
    out.cb = sizeof out;
    GetStartupInfoW(&out);
}

bool create_process(const wchar_t* program, wchar_t* line, bool inherit_handles, DWORD flags,
                    void* environment, const wchar_t* folder, STARTUPINFOW* startup,
                    PROCESS_INFORMATION& out) {
    return CreateProcessW(program, line,
                          nullptr,  // process security attributes
                          nullptr,  // thread security attributes
                          inherit_handles ? TRUE : FALSE, flags, environment, folder, startup,
                          &out) != FALSE;
}

void resume_thread(HANDLE thread) { ResumeThread(thread); }

HANDLE duplicate_own_handle(HANDLE handle, DWORD access) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, access, FALSE,
                         0)) {
        return nullptr;
    }
    return copy;
}

void wait_for_process(HANDLE process) { WaitForSingleObject(process, INFINITE); }

bool read_exit_code(HANDLE process, DWORD& code) {
    return GetExitCodeProcess(process, &code) != FALSE;
}

void end_process(DWORD code) { ExitProcess(code); }

void set_shutdown_level(DWORD level) { SetProcessShutdownParameters(level, 0); }

DWORD read_current_folder(wchar_t* out, DWORD capacity) {
    return GetCurrentDirectoryW(capacity, out);
}

DWORD read_short_path(const wchar_t* path, wchar_t* out, DWORD capacity) {
    return GetShortPathNameW(path, out, capacity);
}
