// Waits for a window of a windowed launcher, as a user would see it, and
// answers it.
//
//   window_watch dialog TITLE MILLISECONDS    a message box titled TITLE: prints
//                                            its text, then presses OK
//   window_watch progress TITLE MILLISECONDS  the progress window titled TITLE:
//                                            prints "progress window" once seen
//   window_watch session TITLE MILLISECONDS PROGRAM CODE
//                                            the hidden window of the launcher
//                                            whose product is TITLE: tells it of a
//                                            logoff, ends its child PROGRAM with
//                                            CODE, prints what it saw
//
// Exits 0 when the window came, 1 when it did not within the time.
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>

namespace {

const wchar_t* dialog_class = L"#32770";
const wchar_t* progress_class = L"FenwixOnefileProgress";
const wchar_t* session_class = L"FenwixOnefileSession";

void print_utf8(const wchar_t* text) {
    char out[8192];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    DWORD written = 0;
    if (n > 1) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out, n - 1, &written, nullptr);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "\n", 1, &written, nullptr);
}

// The message of a message box is its one static control with text (the
// icon is a static control too, without text).
BOOL CALLBACK find_message(HWND child, LPARAM found) {
    wchar_t name[32];
    wchar_t text[4096];
    if (GetClassNameW(child, name, 32) > 0 && _wcsicmp(name, L"Static") == 0 &&
        GetWindowTextW(child, text, 4096) > 0) {
        print_utf8(text);
        *reinterpret_cast<bool*>(found) = true;
        return FALSE;
    }
    return TRUE;
}

// Ends the child of `parent` running `name` (not the console host Wine gives
// a windowed launcher's console program) with `code`.
bool end_child_of(DWORD parent, const wchar_t* name, UINT code) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool ended = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !ended;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID != parent || _wcsicmp(entry.szExeFile, name) != 0) continue;
        const HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (child == nullptr) continue;
        ended = TerminateProcess(child, code) != FALSE;
        CloseHandle(child);
    }
    CloseHandle(snapshot);
    return ended;
}

// Logoff as Windows tells a program with windows: asked, then told. The
// launcher must say yes, and not answer the end while its program runs
// (Windows may end a process once it has answered).
int end_session(HWND window, DWORD wait_ms, const wchar_t* program, UINT code) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    const HANDLE launcher = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    const LPARAM logoff = static_cast<LPARAM>(ENDSESSION_LOGOFF);
    DWORD_PTR yes = 0, ignored = 0;
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, logoff, SMTO_NORMAL, 5000, &yes);
    const bool answered =
        SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, logoff, SMTO_NORMAL, 1000, &ignored) != 0;
    DWORD exit_code = 0;
    const bool ended = launcher != nullptr && end_child_of(id, program, code) &&
                       WaitForSingleObject(launcher, wait_ms) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(launcher, &exit_code);
    wchar_t line[80];
    swprintf(line, 80, L"query %d, end %ls, launcher %ls 0x%08lX", static_cast<int>(yes),
             answered ? L"answered" : L"unanswered", ended ? L"ended" : L"running", exit_code);
    print_utf8(line);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool session = argc == 6 && std::wcscmp(argv[1], L"session") == 0;
    if (argc != 4 && !session) return 2;
    const bool dialog = std::wcscmp(argv[1], L"dialog") == 0;
    const DWORD wait_ms = static_cast<DWORD>(_wtoi(argv[3]));
    const DWORD deadline = GetTickCount() + wait_ms;
    while (static_cast<LONG>(deadline - GetTickCount()) > 0) {
        const HWND window = FindWindowW(dialog    ? dialog_class
                                        : session ? session_class
                                                  : progress_class,
                                        argv[2]);
        if (window == nullptr) {
            Sleep(20);
            continue;
        }
        if (session) return end_session(window, wait_ms, argv[4], wcstoul(argv[5], nullptr, 0));
        if (!dialog) {
            print_utf8(L"progress window");
            return 0;
        }
        bool found = false;
        EnumChildWindows(window, find_message, reinterpret_cast<LPARAM>(&found));
        if (!found) print_utf8(L"(no text)");
        PostMessageW(window, WM_COMMAND, IDOK, 0);
        return 0;
    }
    return 1;
}
