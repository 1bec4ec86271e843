// Waiting out another program that holds a file for a moment. On-access
// virus scanners open a freshly written file, and often a program or DLL
// about to be started, for as long as they take to read it, which for a
// large DLL and a third-party scanner is seconds, not milliseconds. Opening
// such a file, reading it for its checksum or starting it fails meanwhile
// with a sharing violation or access denied; every one of these steps is
// tried again for the same few seconds before it counts as failed.
#pragma once

#include <windows.h>

// How long a step is tried in all, and how far apart.
constexpr DWORD busy_wait_ms = 3000;
constexpr DWORD busy_step_ms = 50;

// The errors a file held by someone else gives to a program that would
// write or start it; one that only reads it meets a sharing violation alone.
inline bool is_busy_error(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
           code == ERROR_LOCK_VIOLATION;
}
inline bool is_busy_reading_error(DWORD code) { return code == ERROR_SHARING_VIOLATION; }

// Runs attempt() until it returns true, or fails with an error that `busy`
// does not accept, or busy_wait_ms have passed; returns its last result,
// with the last failure's error in GetLastError.
template <typename Attempt>
bool retry_while_busy(Attempt attempt, bool (*busy)(DWORD) = is_busy_error) {
    for (DWORD waited = 0;; waited += busy_step_ms) {
        if (attempt()) return true;
        const DWORD code = GetLastError();
        if (!busy(code) || waited >= busy_wait_ms) {
            SetLastError(code);
            return false;
        }
        Sleep(busy_step_ms);
    }
}
