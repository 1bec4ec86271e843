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
#include <windows.h>

#include <cwchar>
#include <cwctype>

int wmain(int argc, wchar_t** argv) {
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
    HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) return 125;
    CloseHandle(marker);
    if (change == INVALID_HANDLE_VALUE) Sleep(INFINITE);
    WaitForSingleObject(change, INFINITE);
    Sleep(wcstoul(argv[3], nullptr, 10));
    CloseHandle(held);
    return 0;
}
