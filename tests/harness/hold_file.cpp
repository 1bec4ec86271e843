// Holds a file open for reading, sharing it for reading only (as a running
// program holds its own image).
//
//   hold_file PATH READY_MARKER [RELEASE_MS]
//
// Creates READY_MARKER once the file is open. Without RELEASE_MS it holds the
// file until killed. With RELEASE_MS it closes the file RELEASE_MS
// milliseconds after the first file name changes in PATH's folder (a file
// created, deleted or renamed there), then exits 0: a writer that creates a
// neighbour just before PATH is thereby known to meet the lock on its first
// try, however long it took to start. Exits 125 if it cannot open PATH or
// watch its folder.
//
//   hold_file exclusive PATH READY_MARKER HOLD_MS
//
// As an on-access scanner does: creates READY_MARKER, then waits (up to 60 s)
// until PATH can be opened with no sharing at all (it may not exist yet, or
// be being written), holds it so for HOLD_MS milliseconds, and exits 0.
#include <windows.h>

#include <cwchar>
#include <cwctype>

namespace {

bool create_marker(const wchar_t* path) {
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) return false;
    CloseHandle(marker);
    return true;
}

int hold_exclusively(const wchar_t* path, const wchar_t* marker, DWORD hold_ms) {
    if (!create_marker(marker)) return 125;
    for (int tries = 0; tries < 60000; ++tries) {
        HANDLE held = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held != INVALID_HANDLE_VALUE) {
            Sleep(hold_ms);
            CloseHandle(held);
            return 0;
        }
        Sleep(1);
    }
    return 125;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && wcscmp(argv[1], L"exclusive") == 0) {
        return hold_exclusively(argv[2], argv[3], wcstoul(argv[4], nullptr, 10));
    }
    if (argc != 3 && argc != 4) return 125;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 125;
    HANDLE change = INVALID_HANDLE_VALUE;
    if (argc == 4) {
        if (!iswdigit(argv[3][0])) return 125;
        static wchar_t folder[32768];
        wcsncpy(folder, argv[1], 32767);
        wchar_t* last = wcsrchr(folder, L'\\');
        if (last == nullptr) return 125;
        *last = L'\0';
        // Watching starts before the marker exists, so no change the test
        // causes after seeing the marker can be missed.
        change = FindFirstChangeNotificationW(folder, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
        if (change == INVALID_HANDLE_VALUE) return 125;
    }
    if (!create_marker(argv[2])) return 125;
    if (change == INVALID_HANDLE_VALUE) Sleep(INFINITE);
    WaitForSingleObject(change, INFINITE);
    Sleep(wcstoul(argv[3], nullptr, 10));
    CloseHandle(held);
    return 0;
}
