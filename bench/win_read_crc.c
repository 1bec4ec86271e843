/* The Windows-side floor of a warm start: opens, reads to the end, runs
 * zlib's crc32_z over and closes every file of the list, on every core (one
 * thread per processor, each claiming the next unclaimed file of the list),
 * with the open flags and the 256 KiB read buffer the launcher uses.
 *
 *   win_read_crc FOLDER LIST
 *
 * Prints "<files> files, <bytes> bytes, crc xor <hex>, <ms> ms": the XOR of
 * every file's CRC-32 (bench/many_files.py compares it with the native
 * crc_files', so that no file can go unread), the time measured inside with
 * QueryPerformanceCounter, from after the list is loaded. Exits 1 when a file
 * cannot be read or its size is not the list's. */
#include "win_floor.h"

#include <zlib.h>

#define BUFFER_SIZE (256 * 1024)
#define MAX_THREADS 64

static const wchar_t* folder;
static floor_list list;
static volatile LONG64 next_claim;
static volatile LONG64 bytes_read;
static volatile LONG crc_xor;

static DWORD WINAPI check_files(void* unused) {
    (void)unused;
    unsigned char* buffer = malloc(BUFFER_SIZE);
    wchar_t path[MAX_PATH * 4];
    if (buffer == NULL) floor_fail("out of memory", NULL);
    for (;;) {
        const LONG64 n = InterlockedIncrement64(&next_claim) - 1;
        if ((size_t)n >= list.count) break;
        floor_join(path, folder, list.files[n].name);
        HANDLE file =
            CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) floor_fail("cannot open", path);
        uLong crc = crc32_z(0L, Z_NULL, 0);
        unsigned long long size = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file, buffer, BUFFER_SIZE, &got, NULL)) floor_fail("cannot read", path);
            if (got == 0) break;
            crc = crc32_z(crc, buffer, got);
            size += got;
        }
        CloseHandle(file);
        if (size != list.files[n].size) floor_fail("size is not the list's", path);
        InterlockedXor(&crc_xor, (LONG)crc);
        InterlockedAdd64(&bytes_read, (LONG64)size);
    }
    free(buffer);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fputs("usage: win_read_crc FOLDER LIST\n", stderr);
        return 2;
    }
    folder = argv[1];
    list = floor_load_list(argv[2]);
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    DWORD count = system.dwNumberOfProcessors;
    if (count > MAX_THREADS) count = MAX_THREADS;
    if (count < 1) count = 1;

    const double start = floor_now_ms();
    HANDLE threads[MAX_THREADS];
    for (DWORD t = 1; t < count; ++t) {
        threads[t - 1] = CreateThread(NULL, 0, check_files, NULL, 0, NULL);
        if (threads[t - 1] == NULL) floor_fail("cannot start a thread", NULL);
    }
    check_files(NULL);  // this thread is one of them
    if (count > 1) WaitForMultipleObjects(count - 1, threads, TRUE, INFINITE);
    const double elapsed = floor_now_ms() - start;

    printf("%llu files, %llu bytes, crc xor %08lx, %.3f ms\n", (unsigned long long)list.count,
           (unsigned long long)bytes_read, (unsigned long)(ULONG)crc_xor, elapsed);
    return 0;
}
