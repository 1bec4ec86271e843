#include "launcher/platform/console.h"

standard_handles read_standard_handles() {
    return {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
            GetStdHandle(STD_ERROR_HANDLE)};
}

bool attached_to_console() {
    // One slot is enough: the count says whether there is any member.
    DWORD member = 0;
    return GetConsoleProcessList(&member, 1) != 0;
}

bool has_console_window() { return GetConsoleWindow() != nullptr; }

bool listen_for_console_events(PHANDLER_ROUTINE handler) {
    return SetConsoleCtrlHandler(handler, TRUE) != FALSE;
}
