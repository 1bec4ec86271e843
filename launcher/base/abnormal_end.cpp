#include "launcher/base/abnormal_end.h"

#include <windows.h>

#include <cstdlib>

namespace {

constexpr DWORD processor_feature_fastfail = 23;  // PF_FASTFAIL_AVAILABLE
constexpr unsigned fast_fail_fatal_app_exit = 7;  // FAST_FAIL_FATAL_APP_EXIT
constexpr DWORD status_fatal_app_exit = 0x40000015;

// The fail-fast request: interrupt 0x29 with the code in ECX. The system ends
// the process at once with STATUS_STACK_BUFFER_OVERRUN.
[[noreturn]] void raise_fast_fail(unsigned code) {
    __asm__ volatile("int $0x29" : : "c"(code) : "memory");
    __builtin_unreachable();
}

}  // namespace

void abnormal_end() {
    // What the runtime's abort does on current systems, done here directly so
    // that no runtime prints a message or flushes a stream on the way out.
    if (IsProcessorFeaturePresent(processor_feature_fastfail)) {
        raise_fast_fail(fast_fail_fatal_app_exit);
    }
    SetUnhandledExceptionFilter(nullptr);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = status_fatal_app_exit;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    UnhandledExceptionFilter(&pointers);
    TerminateProcess(GetCurrentProcess(), 3);
    _exit(3);
}
