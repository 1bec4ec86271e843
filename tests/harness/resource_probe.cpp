// Reads a built launcher's resources through the system's own API and
// prints them, one per line, for the end-to-end tests:
//   fixed <file version> <product version>
//   translation <language> <code page>           (hex)
//   string <Key>=<value>                         (UTF-8)
//   icons <number of images in icon group 1>
//   manifest <the manifest text, on the lines that follow>
#include <windows.h>

#include <cstdio>

namespace {

void print_utf8(const wchar_t* text) {
    static char narrow[8192];
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    fputs(n > 0 ? narrow : "?", stdout);
}

#pragma pack(push, 2)
struct icon_group_header {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 125;
    const wchar_t* path = argv[1];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return 3;
    static unsigned char info[1 << 16];
    if (size > sizeof info || !GetFileVersionInfoW(path, 0, size, info)) return 4;

    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(info, L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        printf("fixed %u.%u.%u.%u %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
               LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
               LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
               LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
               LOWORD(fixed->dwProductVersionLS));
    }
    if (VerQueryValueW(info, L"\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
        const WORD* pair = static_cast<const WORD*>(value);
        printf("translation %04x %04x\n", pair[0], pair[1]);
    }
    const wchar_t* const keys[] = {L"CompanyName",    L"ProductName",     L"FileDescription",
                                   L"LegalCopyright", L"FileVersion",     L"ProductVersion",
                                   L"InternalName",   L"OriginalFilename"};
    for (const wchar_t* key : keys) {
        wchar_t query[128];
        swprintf(query, 128, L"\\StringFileInfo\\000004b0\\%ls", key);
        if (VerQueryValueW(info, query, &value, &length)) {
            printf("string ");
            print_utf8(key);
            printf("=");
            print_utf8(static_cast<const wchar_t*>(value));
            printf("\n");
        }
    }

    HMODULE image = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image == nullptr) return 5;
    if (HRSRC group = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14))) {
        const auto* header =
            static_cast<const icon_group_header*>(LockResource(LoadResource(image, group)));
        printf("icons %u\n", header ? header->count : 0u);
    }
    if (HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        const DWORD n = SizeofResource(image, manifest);
        const char* text = static_cast<const char*>(LockResource(LoadResource(image, manifest)));
        printf("manifest\n");
        if (text) fwrite(text, 1, n, stdout);
        printf("\n");
    }
    return 0;
}
