// The hidden window through which the launcher hears that the session ends.
//
// A process with user32 in it gets no CTRL_LOGOFF_EVENT or
// CTRL_SHUTDOWN_EVENT on its console: Windows counts it among the windowed
// programs and tells it with WM_QUERYENDSESSION and WM_ENDSESSION instead,
// which go to top-level windows only (a message-only window gets no
// broadcast). A windowed launcher has no console at all. Either gets a hidden
// top-level window on a thread of its own once the program has started, and
// acts on the end of the session as the console handler acts on the same
// event: it waits for the program and ends with its exit code.
#pragma once

#include <windows.h>

// The window's class; its title is the product's name, which is what Windows
// shows when it lists the programs still running at the end of a session.
constexpr wchar_t session_window_class[] = L"FenwixOnefileSession";

// What the window does with one message.
struct session_message_action {
    bool handled;       // false: DefWindowProcW's answer
    LRESULT answer;     // the window's answer when handled
    bool ends_session;  // the session ends now: act on `event` before answering
    DWORD event;        // the console event the message stands for
};
session_message_action decide_session_message(UINT message, WPARAM wparam, LPARAM lparam);

// Once the program has started: makes the window where it is the launcher's
// only way to hear of logoff and shutdown, in a windowed launcher and in a
// console one that has user32 loaded (through shell32). A console launcher
// without user32 hears of both on its console, and loading user32 for the
// window would only trade those events for the same news, at a cost.
// `on_end` gets the console event the session's end stands for: the console
// handler, which does not return once it has waited for the program.
void listen_for_session_end(bool windowed, BOOL(WINAPI* on_end)(DWORD event));
