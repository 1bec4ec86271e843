// Holds a file open for reading, sharing it for reading only (as a running
// program holds its own image), until killed.
//
//   hold_file PATH READY_MARKER
//
// Creates READY_MARKER once the file is open. Exits 125 if it cannot open PATH.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 125;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 125;
    HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) return 125;
    CloseHandle(marker);
    Sleep(INFINITE);
    return 0;
}
