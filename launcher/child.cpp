#include "launcher/child.h"

namespace {

constexpr DWORD grace_period_ms = 5000;

// The supervised child, shared with the console handler's thread. Whoever
// takes the handle out of the record (atomically) is the one who closes it.
HANDLE volatile child_process = nullptr;

HANDLE take_child_handle() {
    return static_cast<HANDLE>(
        InterlockedExchangePointer(const_cast<PVOID volatile*>(&child_process), nullptr));
}

}  // namespace

void cleanup_child() {
    HANDLE process = take_child_handle();
    if (process == nullptr) return;
    if (WaitForSingleObject(process, grace_period_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process, 0);
    }
    CloseHandle(process);
}

BOOL WINAPI console_control_handler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            cleanup_child();
            break;
        default:
            break;
    }
    return FALSE;
}
