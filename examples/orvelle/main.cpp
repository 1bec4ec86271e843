// Orvelle, the example application: shows what a program started by a
// Fenwix Onefile launcher receives, and exits with a code it is asked for.
//
//   Orvelle [--exit CODE] [ARGS...]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

const char* const variables[] = {
    "FENWIX_ONEFILE_PARENT", "FENWIX_ONEFILE_DIRECTORY", "FENWIX_ORIGINAL_ARGV0",
    "FENWIX_ONEFILE_RANDOM", "FENWIX_ONEFILE_START",     "FENWIX_ONEFILE_TIME_US",
};

void print_wide(const wchar_t* text) {
    char narrow[4096];
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    fputs(n > 0 ? narrow : "?", stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t folder[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, folder, sizeof folder / sizeof folder[0]);
    if (n == 0 || n >= sizeof folder / sizeof folder[0]) return 70;
    *wcsrchr(folder, L'\\') = L'\0';

    printf("Orvelle received %d argument(s):\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("  [%d] ", i);
        print_wide(argv[i]);
        printf("\n");
    }
    printf("Launcher variables:\n");
    for (const char* name : variables) {
        const char* value = getenv(name);
        printf("  %s=%s\n", name, value ? value : "(unset)");
    }

    wchar_t path[MAX_PATH * 4];
    swprintf(path, sizeof path / sizeof path[0], L"%ls\\lib\\greet.dll", folder);
    HMODULE library = LoadLibraryW(path);
    using greet_fn = const wchar_t* (*)();
    greet_fn greet = library ? reinterpret_cast<greet_fn>(
                                   reinterpret_cast<void*>(GetProcAddress(library, "greet_text")))
                             : nullptr;
    printf("Library: ");
    print_wide(greet ? greet() : L"lib\\greet.dll not found");
    printf("\n");

    swprintf(path, sizeof path / sizeof path[0], L"%ls\\data\\message.txt", folder);
    FILE* data = _wfopen(path, L"rb");
    char line[256] = "data\\message.txt not found";
    if (data) {
        if (!fgets(line, sizeof line, data)) line[0] = '\0';
        fclose(data);
        line[strcspn(line, "\r\n")] = '\0';
    }
    printf("Data file: %s\n", line);

    unsigned long code = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--exit") == 0) code = wcstoul(argv[i + 1], nullptr, 0);
    }
    printf("Exiting with code %lu.\n", code);
    return static_cast<int>(code);
}
