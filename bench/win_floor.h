/* What the Windows-side floors of the bench share: the file list they
 * work from, paths, and the clock. Each floor runs under the same Wine as
 * the launcher, so that what Wine costs per file is in the floor too.
 *
 * The list is what a launcher knows before it touches the disk (its index):
 * one line per file, "<size in decimal> <name>", the name in UTF-8 below
 * the tree's folder with '/' between levels, in the order of the tree's
 * blob (bench/many_files.py writes both). */
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef struct {
    unsigned long long size;
    wchar_t* name; /* backslashes between levels */
} floor_file;

typedef struct {
    floor_file* files;
    size_t count;
    unsigned long long bytes;
} floor_list;

static inline void floor_fail(const char* what, const wchar_t* name) {
    fprintf(stderr, "%s: %ls (error %lu)\n", what, name ? name : L"", GetLastError());
    exit(1);
}

static inline double floor_now_ms(void) {
    static LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

/* The whole of a file, with a zero byte after it. */
static inline char* floor_read_all(const wchar_t* path, size_t* length) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) floor_fail("cannot open", path);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) floor_fail("cannot size", path);
    char* data = malloc((size_t)size.QuadPart + 1);
    DWORD got = 0;
    if (data == NULL || !ReadFile(file, data, (DWORD)size.QuadPart, &got, NULL) ||
        got != (DWORD)size.QuadPart) {
        floor_fail("cannot read", path);
    }
    CloseHandle(file);
    data[got] = '\0';
    *length = got;
    return data;
}

static inline floor_list floor_load_list(const wchar_t* path) {
    size_t length = 0;
    char* text = floor_read_all(path, &length);
    floor_list list = {0};
    for (size_t i = 0; i < length; ++i) list.count += text[i] == '\n';
    list.files = calloc(list.count ? list.count : 1, sizeof *list.files);
    if (list.files == NULL) floor_fail("out of memory", NULL);
    char* line = text;
    for (size_t n = 0; n < list.count; ++n) {
        char* end = strchr(line, '\n');
        *end = '\0';
        char* name = NULL;
        list.files[n].size = _strtoui64(line, &name, 10);
        if (*name++ != ' ') floor_fail("a line of the list has no size", path);
        const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, NULL, 0);
        wchar_t* wide = malloc((size_t)units * sizeof *wide);
        if (units <= 0 || wide == NULL ||
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, units) != units) {
            floor_fail("a name of the list is not UTF-8", path);
        }
        for (wchar_t* c = wide; *c; ++c) {
            if (*c == L'/') *c = L'\\';
        }
        list.files[n].name = wide;
        list.bytes += list.files[n].size;
        line = end + 1;
    }
    free(text);
    return list;
}

/* folder + '\' + name, in a buffer of MAX_PATH * 4 units. */
static inline void floor_join(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
    if (_snwprintf(out, MAX_PATH * 4, L"%ls\\%ls", folder, name) < 0) {
        floor_fail("path too long", name);
    }
}
