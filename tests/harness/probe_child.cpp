// A child program for the end-to-end tests: reports exactly what it received
// and behaves as the environment asks.
//
// With PROBE_CHECK set to the path of a list, before anything else it checks
// that the files it names are complete: each line of the list is
//   <size in decimal> <CRC-32 in hex> <name below the probe's own folder>
// (name in UTF-8, levels split by backslashes). It exits 0x7E when a file is
// missing or differs, 0x7D when the list cannot be read, and goes on otherwise.
//
// Then prints, one per line:
//   arg <UTF-16 units in hex, blank-separated>   for each argument of
//                                                CommandLineToArgvW(GetCommandLineW())
//   line <UTF-16 units in hex>                   for GetCommandLineW() as it is
//   env NAME=<value>                             for each FENWIX_ variable (or "(unset)")
//   cwd <current folder>
// Then, by PROBE_MODE:
//   (unset)        exits with PROBE_EXIT (decimal or 0x hex, default 0), after
//                  PROBE_SLEEP_MS milliseconds when that is set
//   wait           sleeps a minute, with Ctrl+C handled by the system (ends it)
//   ignore-ctrl-c  sleeps PROBE_SLEEP_MS (default a minute), ignoring Ctrl+C and
//                  Ctrl+Break, then exits with PROBE_EXIT
//   spawn-detached starts the command line PROBE_SPAWN as a detached process
//                  (no console, no inherited handles), then exits with
//                  PROBE_EXIT; exits 0x7C when it cannot start it
// and writes "ctrl" to the file PROBE_MARK when it sees a console event.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t* const variables[] = {
    L"FENWIX_ONEFILE_PARENT", L"FENWIX_ONEFILE_DIRECTORY", L"FENWIX_ORIGINAL_ARGV0",
    L"FENWIX_ONEFILE_RANDOM", L"FENWIX_ONEFILE_START",     L"FENWIX_ONEFILE_TIME_US",
};

void print_utf8(const wchar_t* text) {
    static char narrow[65536];
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    fputs(n > 0 ? narrow : "?", stdout);
}

void mark(const char* what) {
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"PROBE_MARK", path, MAX_PATH) == 0) return;
    HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, what, static_cast<DWORD>(strlen(what)), &written, nullptr);
    CloseHandle(f);
}

BOOL WINAPI ignoring_handler(DWORD) {
    mark("ctrl\n");
    return TRUE;
}

BOOL WINAPI noting_handler(DWORD) {
    mark("ctrl\n");
    return FALSE;
}

constexpr int check_failed = 0x7E;
constexpr int list_unreadable = 0x7D;
constexpr int spawn_failed = 0x7C;

std::uint32_t crc32_of(const unsigned char* data, std::size_t size) {
    static std::uint32_t table[256];
    if (table[1] == 0) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// The whole content of a file; false when it cannot be read.
bool read_whole(const wchar_t* path, std::vector<unsigned char>& out) {
    HANDLE f =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(f, &size) != 0;
    out.assign(ok ? static_cast<std::size_t>(size.QuadPart) : 0, 0);
    std::size_t done = 0;
    while (ok && done < out.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1 << 20));
        ok = ReadFile(f, out.data() + done, want, &n, nullptr) && n > 0;
        done += n;
    }
    CloseHandle(f);
    return ok;
}

// 0 when every listed file is complete, else the exit code to end with.
int check_listed_files(const wchar_t* list_path) {
    std::vector<unsigned char> list;
    if (!read_whole(list_path, list)) return list_unreadable;
    static wchar_t folder[32768];
    const DWORD n = GetModuleFileNameW(nullptr, folder, 32768);
    if (n == 0 || n >= 32768 || wcsrchr(folder, L'\\') == nullptr) return list_unreadable;
    wcsrchr(folder, L'\\')[1] = L'\0';
    std::string text(list.begin(), list.end());
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        char* after_size = nullptr;
        char* after_crc = nullptr;
        const unsigned long long size = strtoull(line.c_str(), &after_size, 10);
        const unsigned long crc = strtoul(after_size, &after_crc, 16);
        if (after_crc == after_size || *after_crc != ' ') return list_unreadable;
        const std::size_t name_at = static_cast<std::size_t>(after_crc + 1 - line.c_str());
        static wchar_t path[32768];
        wcscpy(path, folder);
        const std::size_t used = wcslen(path);
        if (MultiByteToWideChar(CP_UTF8, 0, line.c_str() + name_at, -1, path + used,
                                static_cast<int>(32768 - used)) == 0) {
            return list_unreadable;
        }
        std::vector<unsigned char> data;
        if (!read_whole(path, data) || data.size() != size ||
            crc32_of(data.data(), data.size()) != crc) {
            return check_failed;
        }
    }
    return 0;
}

int spawn_detached() {
    static wchar_t line[32768];
    if (GetEnvironmentVariableW(L"PROBE_SPAWN", line, 32768) == 0) return spawn_failed;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                        &startup, &process)) {
        return spawn_failed;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

int exit_code_asked() {
    wchar_t code[64] = L"0";
    GetEnvironmentVariableW(L"PROBE_EXIT", code, 64);
    return static_cast<int>(wcstoul(code, nullptr, 0));
}

}  // namespace

int wmain() {
    static wchar_t list_path[32768];
    if (GetEnvironmentVariableW(L"PROBE_CHECK", list_path, 32768) != 0) {
        if (const int failed = check_listed_files(list_path)) return failed;
    }
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 0; i < argc; ++i) {
        printf("arg");
        for (const wchar_t* p = argv[i]; *p; ++p) printf(" %04x", static_cast<unsigned>(*p));
        printf("\n");
    }
    printf("line");
    for (const wchar_t* p = GetCommandLineW(); *p; ++p) printf(" %04x", static_cast<unsigned>(*p));
    printf("\n");
    static wchar_t value[32768];
    for (const wchar_t* name : variables) {
        printf("env ");
        print_utf8(name);
        printf("=");
        print_utf8(GetEnvironmentVariableW(name, value, 32768) ? value : L"(unset)");
        printf("\n");
    }
    GetCurrentDirectoryW(32768, value);
    printf("cwd ");
    print_utf8(value);
    printf("\n");
    fflush(stdout);

    wchar_t mode[64] = L"";
    GetEnvironmentVariableW(L"PROBE_MODE", mode, 64);
    if (wcscmp(mode, L"wait") == 0 || wcscmp(mode, L"ignore-ctrl-c") == 0) {
        SetConsoleCtrlHandler(wcscmp(mode, L"wait") == 0 ? noting_handler : ignoring_handler, TRUE);
        mark("started\n");
        wchar_t sleep_ms[32] = L"";
        const bool timed = wcscmp(mode, L"ignore-ctrl-c") == 0 &&
                           GetEnvironmentVariableW(L"PROBE_SLEEP_MS", sleep_ms, 32) != 0;
        Sleep(timed ? wcstoul(sleep_ms, nullptr, 10) : 60000);
        mark("finished\n");
        return exit_code_asked();
    }
    if (wcscmp(mode, L"spawn-detached") == 0) {
        if (const int failed = spawn_detached()) return failed;
    }
    wchar_t sleep_ms[32] = L"";
    if (GetEnvironmentVariableW(L"PROBE_SLEEP_MS", sleep_ms, 32) != 0)
        Sleep(wcstoul(sleep_ms, nullptr, 10));
    return exit_code_asked();
}
