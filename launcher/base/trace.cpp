#include "launcher/base/trace.h"

#include "launcher/base/environment.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

constexpr std::size_t line_capacity = 34 * 1024;  // a whole command line and its label

HANDLE output = nullptr;  // nullptr while nothing is traced
bool to_console = false;
LARGE_INTEGER started;
LARGE_INTEGER frequency;
wchar_t line[line_capacity];      // both guarded by line_lock: the background
char encoded[3 * line_capacity];  // check traces while the main thread does
SRWLOCK line_lock = SRWLOCK_INIT;

void write_line(std::size_t units) {
    DWORD written = 0;
    if (to_console) {
        WriteConsoleW(output, line, static_cast<DWORD>(units), &written, nullptr);
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, static_cast<int>(units), encoded,
                                          sizeof encoded, nullptr, nullptr);
    // One write per line, so lines of launchers sharing a file never mix.
    if (bytes > 0) WriteFile(output, encoded, static_cast<DWORD>(bytes), &written, nullptr);
}

}  // namespace

void trace_start() {
    QueryPerformanceCounter(&started);
    QueryPerformanceFrequency(&frequency);
    wchar_t value[MAX_PATH + 1];
    const std::size_t n = read_environment_value(L"FENWIX_ONEFILE_TRACE", value, MAX_PATH + 1);
    if (n == 0 || wcscmp(value, L"0") == 0) return;
    if (wcscmp(value, L"1") == 0) {
        output = GetStdHandle(STD_ERROR_HANDLE);
        if (output == INVALID_HANDLE_VALUE) output = nullptr;
        DWORD mode = 0;
        to_console = output != nullptr && GetConsoleMode(output, &mode) != FALSE;
        return;
    }
    // Appended to, and shared, so that several launchers can trace into one file.
    const HANDLE file = CreateFileW(value, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) output = file;
}

bool tracing() { return output != nullptr; }

void trace(const wchar_t* format, ...) {
    if (output == nullptr) return;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const unsigned long ms =
        static_cast<unsigned long>((now.QuadPart - started.QuadPart) * 1000 / frequency.QuadPart);
    AcquireSRWLockExclusive(&line_lock);
    int used = _snwprintf(line, line_capacity, L"fenwix %lu ms: ", ms);
    if (used < 0) {
        ReleaseSRWLockExclusive(&line_lock);
        return;
    }
    va_list args;
    va_start(args, format);
    // Room is kept for the line feed; a line too long for the buffer is cut.
    const int n = _vsnwprintf(line + used, line_capacity - used - 2, format, args);
    va_end(args);
    used = n < 0 ? static_cast<int>(line_capacity) - 2 : used + n;
    line[used++] = L'\n';
    line[used] = L'\0';
    write_line(static_cast<std::size_t>(used));
    ReleaseSRWLockExclusive(&line_lock);
}
