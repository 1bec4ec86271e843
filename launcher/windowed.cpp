#include "launcher/windowed.h"

#include "launcher/base/build_values.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstring>

namespace {

// The few user32 and comctl32 calls a windowed launcher makes, loaded on
// first use so that a console launcher never maps either library.
struct window_calls {
    decltype(&MessageBoxW) message_box;
    decltype(&RegisterClassExW) register_class;
    decltype(&CreateWindowExW) create_window;
    decltype(&DestroyWindow) destroy_window;
    decltype(&DefWindowProcW) default_window_proc;
    decltype(&ShowWindow) show_window;
    decltype(&GetSystemMetrics) system_metrics;
    decltype(&LoadCursorW) load_cursor;
    decltype(&SendMessageW) send_message;
    decltype(&PeekMessageW) peek_message;
    decltype(&TranslateMessage) translate_message;
    decltype(&DispatchMessageW) dispatch_message;
    decltype(&MsgWaitForMultipleObjects) wait_for_messages;
    decltype(&InitCommonControlsEx) init_common_controls;
    decltype(&GetProcessWindowStation) process_window_station;
    decltype(&GetUserObjectInformationW) user_object_information;
};
window_calls calls;
bool calls_tried = false;  // loading is tried once
bool calls_ready = false;  // every call was found

template <typename F>
bool find_call(HMODULE module, const char* name, F& call) {
    // Through void(*)(), the one function type any other converts to and from.
    call = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return call != nullptr;
}

bool load_window_calls() {
    if (calls_tried) return calls_ready;
    calls_tried = true;
    // From System32 only (the manifest still brings Common Controls 6).
    const HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const HMODULE comctl32 = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (user32 == nullptr || comctl32 == nullptr) return false;
    calls_ready = find_call(user32, "MessageBoxW", calls.message_box) &&
                  find_call(user32, "RegisterClassExW", calls.register_class) &&
                  find_call(user32, "CreateWindowExW", calls.create_window) &&
                  find_call(user32, "DestroyWindow", calls.destroy_window) &&
                  find_call(user32, "DefWindowProcW", calls.default_window_proc) &&
                  find_call(user32, "ShowWindow", calls.show_window) &&
                  find_call(user32, "GetSystemMetrics", calls.system_metrics) &&
                  find_call(user32, "LoadCursorW", calls.load_cursor) &&
                  find_call(user32, "SendMessageW", calls.send_message) &&
                  find_call(user32, "PeekMessageW", calls.peek_message) &&
                  find_call(user32, "TranslateMessage", calls.translate_message) &&
                  find_call(user32, "DispatchMessageW", calls.dispatch_message) &&
                  find_call(user32, "MsgWaitForMultipleObjects", calls.wait_for_messages) &&
                  find_call(comctl32, "InitCommonControlsEx", calls.init_common_controls) &&
                  find_call(user32, "GetProcessWindowStation", calls.process_window_station) &&
                  find_call(user32, "GetUserObjectInformationW", calls.user_object_information);
    return calls_ready;
}

bool windowed() { return launcher_build_values().windowed; }

// Whether anyone can see a window of this process. A service, a scheduled
// task that runs whether or not a user is logged on, or an SSH session
// runs on a window station nobody sees, where a dialog would wait for a
// click for ever.
bool station_is_visible() {
    USEROBJECTFLAGS flags = {};
    const HWINSTA station = calls.process_window_station();
    return station != nullptr &&
           calls.user_object_information(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// A windowed launcher on a station someone sees: only then does it show
// anything.
// Decided once; two threads that ask at once decide the same, so the answer
// is kept without the C++ runtime's guard, which would bring its exception
// machinery (a third of the launcher's size) into the image.
volatile LONG windows_known = 0;  // 0 not yet, 1 no, 2 yes

bool can_show_windows() {
    if (windows_known == 0) {
        const bool can = windowed() && load_window_calls() && station_is_visible();
        InterlockedExchange(&windows_known, can ? 2 : 1);
    }
    return windows_known == 2;
}

void (*release_before_waiting)() = nullptr;  // what a dialog must not hold

// ---- the progress window

constexpr DWORD show_after_ms = 500;
constexpr DWORD poll_ms = 50;
constexpr int bar_range = 1000;
const wchar_t progress_class[] = L"FenwixOnefileProgress";

HANDLE progress_thread = nullptr;  // runs the window, from start to close
HANDLE progress_done = nullptr;    // set when unpacking is over
std::atomic<bool> writing{false};  // a file has been opened for writing

LRESULT CALLBACK progress_window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    // Closing the window must not stop the unpacking: it goes by itself.
    if (message == WM_CLOSE) return 0;
    return calls.default_window_proc(window, message, w, l);
}

HWND create_progress_window(HWND& bar) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    calls.init_common_controls(&controls);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = progress_window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hCursor = calls.load_cursor(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = progress_class;
    if (calls.register_class(&window_class) == 0) return nullptr;
    const int width = 400, height = 100;
    const HWND window =
        calls.create_window(0,                                     // no extended style
                            progress_class,                        //
                            launcher_build_values().product_name,  // the title: the product's name
                            WS_CAPTION | WS_SYSMENU,               // a small fixed window
                            (calls.system_metrics(SM_CXSCREEN) - width) / 2,   // centred
                            (calls.system_metrics(SM_CYSCREEN) - height) / 2,  //
                            width, height,                                     //
                            nullptr, nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) return nullptr;
    bar = calls.create_window(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 20, 26,
                              width - 56, 20, window, nullptr, window_class.hInstance, nullptr);
    calls.send_message(bar, PBM_SETRANGE32, 0, bar_range);
    calls.show_window(window, SW_SHOWNORMAL);
    return window;
}

std::uint64_t (*progress_done_so_far)() = nullptr;  // how far unpacking is, of
std::uint64_t progress_total = 0;                   // this much

int progress_position() {
    if (progress_total == 0) return 0;
    return static_cast<int>(progress_done_so_far() * bar_range / progress_total);
}

DWORD WINAPI run_progress_window(void*) {
    // Nothing for a short start, and nothing for one that writes no file.
    if (WaitForSingleObject(progress_done, show_after_ms) == WAIT_OBJECT_0) return 0;
    while (!writing.load()) {
        if (WaitForSingleObject(progress_done, poll_ms) == WAIT_OBJECT_0) return 0;
    }
    HWND bar = nullptr;
    const HWND window = create_progress_window(bar);
    if (window == nullptr) return 0;  // no desktop: unpacking goes on unseen
    for (;;) {
        calls.send_message(bar, PBM_SETPOS, progress_position(), 0);
        const DWORD woke = calls.wait_for_messages(1, &progress_done, FALSE, poll_ms, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) break;
        MSG message;
        while (calls.peek_message(&message, nullptr, 0, 0, PM_REMOVE)) {
            calls.translate_message(&message);
            calls.dispatch_message(&message);
        }
    }
    calls.destroy_window(window);
    return 0;
}

}  // namespace

void release_before_dialog(void (*release)()) { release_before_waiting = release; }

void show_failure_dialog(const wchar_t* line) {
    if (!can_show_windows()) return;
    progress_window_close();
    if (release_before_waiting != nullptr) release_before_waiting();
    // Fails at once where there is no desktop; the exit code comes out anyway.
    calls.message_box(nullptr, line, launcher_build_values().product_name,
                      MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

void progress_window_start(std::uint64_t (*done)(), std::uint64_t total) {
    if (!can_show_windows()) return;
    progress_done_so_far = done;
    progress_total = total;
    progress_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (progress_done == nullptr) return;
    progress_thread = CreateThread(nullptr, 0, run_progress_window, nullptr, 0, nullptr);
}

void allow_foreground_for(unsigned long id) {
    const HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    decltype(&AllowSetForegroundWindow) allow = nullptr;
    if (user32 != nullptr && find_call(user32, "AllowSetForegroundWindow", allow)) allow(id);
}

void progress_window_note_write() { writing.store(true); }

void progress_window_close() {
    if (progress_thread == nullptr) return;
    SetEvent(progress_done);
    WaitForSingleObject(progress_thread, INFINITE);
    CloseHandle(progress_thread);
    progress_thread = nullptr;
}
