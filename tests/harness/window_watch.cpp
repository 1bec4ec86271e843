// Waits for a window of a windowed launcher, as a user would see it, and
// answers it.
//
//   window_watch dialog TITLE MILLISECONDS    a message box titled TITLE: prints
//                                            its text, then presses OK
//   window_watch progress TITLE MILLISECONDS  the progress window titled TITLE:
//                                            prints "progress window" once seen
//
// Exits 0 when the window came, 1 when it did not within the time.
#include <windows.h>

#include <cwchar>

namespace {

const wchar_t* dialog_class = L"#32770";
const wchar_t* progress_class = L"FenwixOnefileProgress";

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const bool dialog = std::wcscmp(argv[1], L"dialog") == 0;
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(_wtoi(argv[3]));
    while (static_cast<LONG>(deadline - GetTickCount()) > 0) {
        const HWND window = FindWindowW(dialog ? dialog_class : progress_class, argv[2]);
        if (window == nullptr) {
            Sleep(20);
            continue;
        }
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
