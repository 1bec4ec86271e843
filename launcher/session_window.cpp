#include "launcher/session_window.h"

#include "launcher/base/build_values.h"
#include "launcher/base/trace.h"

namespace {

// The few user32 calls the window makes, found on its own thread before the
// window exists and used only there.
struct session_calls {
    decltype(&RegisterClassExW) register_class;
    decltype(&CreateWindowExW) create_window;
    decltype(&DefWindowProcW) default_window_proc;
    decltype(&GetMessageW) get_message;
    decltype(&DispatchMessageW) dispatch_message;
};
session_calls calls;
BOOL(WINAPI* act_on_end)(DWORD event) = nullptr;  // set before the thread starts

template <typename F>
bool find_call(HMODULE module, const char* name, F& call) {
    // Through void(*)(), the one function type any other converts to and from.
    call = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return call != nullptr;
}

bool load_session_calls() {
    const HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return user32 != nullptr && find_call(user32, "RegisterClassExW", calls.register_class) &&
           find_call(user32, "CreateWindowExW", calls.create_window) &&
           find_call(user32, "DefWindowProcW", calls.default_window_proc) &&
           find_call(user32, "GetMessageW", calls.get_message) &&
           find_call(user32, "DispatchMessageW", calls.dispatch_message);
}

LRESULT CALLBACK session_window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    const session_message_action action = decide_session_message(message, w, l);
    if (!action.handled) return calls.default_window_proc(window, message, w, l);
    if (action.ends_session) {
        trace(L"the session ends (event %lu): waiting for the program", action.event);
        // Once the program has started this ends the launcher after it and
        // does not return; the system ends it anyway when its time is up.
        act_on_end(action.event);
    }
    return action.answer;
}

DWORD WINAPI run_session_window(void*) {
    // Where the window cannot be made (no desktop) the launcher goes on
    // without it: it then hears of the session's end as it did before.
    if (!load_session_calls()) return 0;
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = session_window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = session_window_class;
    if (calls.register_class(&window_class) == 0) return 0;
    const HWND window =
        calls.create_window(0,                                     // no extended style
                            session_window_class,                  //
                            launcher_build_values().product_name,  // the name Windows lists
                            WS_OVERLAPPED,                         // never shown
                            0, 0, 0, 0,                            // no place, no size
                            nullptr,  // top-level: only those hear of the session's end
                            nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) return 0;
    trace(L"listening for the end of the session on a hidden window");
    MSG message;
    while (calls.get_message(&message, nullptr, 0, 0) > 0) calls.dispatch_message(&message);
    return 0;
}

DWORD event_of_session_end(LPARAM how) {
    if ((how & ENDSESSION_CLOSEAPP) != 0) return CTRL_CLOSE_EVENT;  // the Restart Manager's
    if ((how & static_cast<LPARAM>(ENDSESSION_LOGOFF)) != 0) return CTRL_LOGOFF_EVENT;
    return CTRL_SHUTDOWN_EVENT;
}

}  // namespace

session_message_action decide_session_message(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            // Never a veto: whether the session may end is the program's to
            // say, through its own windows, as in a direct start.
            return {true, TRUE, false, 0};
        case WM_ENDSESSION:
            // FALSE: someone vetoed, the session goes on and so does the launcher.
            if (wparam == FALSE) return {true, 0, false, 0};
            return {true, 0, true, event_of_session_end(lparam)};
        case WM_CLOSE:
            // The window is nobody's to close (taskkill without /f asks every
            // top-level window): the launcher ends after its program anyway.
            return {true, 0, false, 0};
        default:
            return {false, 0, false, 0};
    }
}

void listen_for_session_end(bool windowed, BOOL(WINAPI* on_end)(DWORD event)) {
    if (!windowed && GetModuleHandleW(L"user32.dll") == nullptr) return;
    act_on_end = on_end;
    // The default stack is only reserved; the thread ends with the process.
    const HANDLE thread = CreateThread(nullptr, 0, run_session_window, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}
