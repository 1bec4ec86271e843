/* The Windows-side floor of a start that trusts a listing: lists every
 * folder of a tree, recursively, with FindFirstFileExW (FindExInfoBasic,
 * FIND_FIRST_EX_LARGE_FETCH), and opens no file.
 *
 *   win_enumerate FOLDER
 *
 * Prints "<files> files, <folders> folders, <bytes> bytes, <ms> ms", the time
 * measured inside with QueryPerformanceCounter; bench/many_files.py checks the
 * counts against the tree's. Exits 1 when a folder cannot be listed. */
#include "win_floor.h"

static unsigned long long files, folders, bytes;

/* path is a MAX_PATH * 4 buffer holding a folder; it is extended and cut
 * back on the way down and up. */
static void list_folder(wchar_t* path) {
    const size_t length = wcslen(path);
    if (length + 3 >= MAX_PATH * 4) floor_fail("path too long", path);
    wcscpy(path + length, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, NULL,
                                     FIND_FIRST_EX_LARGE_FETCH);
    path[length] = L'\0';
    if (search == INVALID_HANDLE_VALUE) floor_fail("cannot list", path);
    do {
        const wchar_t* name = found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
            ++folders;
            if (length + 1 + wcslen(name) >= MAX_PATH * 4) floor_fail("path too long", name);
            path[length] = L'\\';
            wcscpy(path + length + 1, name);
            list_folder(path);
            path[length] = L'\0';
        } else {
            ++files;
            bytes += ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        }
    } while (FindNextFileW(search, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) floor_fail("cannot go on listing", path);
    FindClose(search);
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fputs("usage: win_enumerate FOLDER\n", stderr);
        return 2;
    }
    static wchar_t path[MAX_PATH * 4];
    if (wcslen(argv[1]) >= MAX_PATH * 4) floor_fail("path too long", argv[1]);
    const double start = floor_now_ms();
    wcscpy(path, argv[1]);
    list_folder(path);
    const double elapsed = floor_now_ms() - start;
    printf("%llu files, %llu folders, %llu bytes, %.3f ms\n", files, folders, bytes, elapsed);
    return 0;
}
