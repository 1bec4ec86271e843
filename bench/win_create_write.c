/* The Windows-side floor of writing a cold start's files: makes every folder
 * and file of the list below an empty folder and writes its bytes, on one
 * thread, as a launcher writes what it decodes. The bytes come from the
 * tree's blob (every file's bytes one after the other, in the list's order),
 * mapped into memory as a launcher's block is.
 *
 *   win_create_write FOLDER LIST BLOB
 *
 * Each file is made with CREATE_NEW and written in 32 KiB writes (the
 * launcher's chunk); a folder is made once, when the first file below it
 * comes. Prints "<files> files, <bytes> bytes, <ms> ms", the time measured
 * inside with QueryPerformanceCounter, from after the list is loaded. Exits 1
 * when anything cannot be made or written, or the blob is not the list's size. */
#include "win_floor.h"

#define CHUNK 32768

static wchar_t last_folder[MAX_PATH * 4];

/* Makes every level of the folder that holds path, below root (which
 * exists), unless it is the folder of the last file. */
static void make_folders(wchar_t* path, size_t root_units) {
    wchar_t* end = wcsrchr(path, L'\\');
    *end = L'\0';
    if (wcscmp(path, last_folder) != 0) {
        for (wchar_t* c = path + root_units + 1; c <= end; ++c) {
            if (*c != L'\\' && *c != L'\0') continue;
            const wchar_t kept = *c;
            *c = L'\0';
            if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
                floor_fail("cannot make folder", path);
            }
            *c = kept;
        }
        wcscpy(last_folder, path);
    }
    *end = L'\\';
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        fputs("usage: win_create_write FOLDER LIST BLOB\n", stderr);
        return 2;
    }
    const wchar_t* folder = argv[1];
    const floor_list list = floor_load_list(argv[2]);

    const double start = floor_now_ms();
    HANDLE blob_file = CreateFileW(argv[3], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, NULL);
    if (blob_file == INVALID_HANDLE_VALUE) floor_fail("cannot open", argv[3]);
    LARGE_INTEGER blob_size;
    if (!GetFileSizeEx(blob_file, &blob_size) ||
        (unsigned long long)blob_size.QuadPart != list.bytes) {
        floor_fail("the blob is not the list's size", argv[3]);
    }
    const unsigned char* blob = NULL;
    if (list.bytes > 0) {
        HANDLE mapping = CreateFileMappingW(blob_file, NULL, PAGE_READONLY, 0, 0, NULL);
        blob = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
        if (blob == NULL) floor_fail("cannot map", argv[3]);
    }
    if (!CreateDirectoryW(folder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
        floor_fail("cannot make folder", folder);
    }
    const size_t root_units = wcslen(folder);

    wchar_t path[MAX_PATH * 4];
    unsigned long long offset = 0;
    for (size_t n = 0; n < list.count; ++n) {
        floor_join(path, folder, list.files[n].name);
        make_folders(path, root_units);
        HANDLE file =
            CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) floor_fail("cannot make", path);
        for (unsigned long long left = list.files[n].size; left > 0;) {
            const DWORD chunk = left < CHUNK ? (DWORD)left : CHUNK;
            DWORD written = 0;
            if (!WriteFile(file, blob + offset, chunk, &written, NULL) || written != chunk) {
                floor_fail("cannot write", path);
            }
            offset += chunk;
            left -= chunk;
        }
        CloseHandle(file);
    }
    const double elapsed = floor_now_ms() - start;
    printf("%llu files, %llu bytes, %.3f ms\n", (unsigned long long)list.count, offset, elapsed);
    return 0;
}
