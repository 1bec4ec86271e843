// For the small Windows programs the tests drive: the rest of a command line
// after its first arguments, as Windows splits them.
#pragma once

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
