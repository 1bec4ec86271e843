// For the small Windows programs the tests drive: the rest of a command line
// after its first arguments, as Windows splits them, and starting it.
#pragma once

#include <windows.h>

#include <cstdio>

// Skips one argument of a command line and the blanks after it.
inline const wchar_t* skip_argument(const wchar_t* p) {
    while (*p == L' ' || *p == L'\t') ++p;
    bool quoted = false;
    for (; *p != L'\0'; ++p) {
        if (*p == L'\\' && p[1] == L'"') {
            ++p;
        } else if (*p == L'"') {
            quoted = !quoted;
        } else if (!quoted && (*p == L' ' || *p == L'\t')) {
            break;
        }
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// CreateProcessW of `line`, tried again a moment later when it fails with
// ERROR_INTERNAL_ERROR: now and then, with many programs starting at once,
// Wine fails to start one so, and the same start a moment later works.
// Any other failure is printed to stderr, naming the line.
inline bool start_retrying(wchar_t* line, DWORD flags, STARTUPINFOW& startup,
                           PROCESS_INFORMATION& process) {
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                           &process)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 5) {
            fwprintf(stderr, L"cannot start %ls (error %lu)\n", line, error);
            return false;
        }
        Sleep(200);
    }
}
