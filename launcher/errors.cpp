#include "launcher/errors.h"

#include "launcher/fixed_buffer.h"
#include "launcher/path_forms.h"
#include "launcher/windowed.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// The complete message table. Plain messages go to standard output through
// report_failure; the rest go to standard error.
const char msg_header[] = "Error, couldn't find attached data header.";
const char msg_alloc[] = "Error, couldn't allocate memory.";
const char msg_decode[] = "Error, couldn't decode attached data.";
const char msg_unpack[] = "Error, couldn't unpack file to target path.";
const char msg_launch[] = "Error, couldn't launch child";
const char fmt_open_for_writing[] = "Error, failed to open '%s' for writing.\n";
const char fmt_template_expansion[] = "Error, couldn't runtime expand spec '%s'.\n";
const char fmt_system_error[] = "%s ([Error %ld] %s)\n";

// Shown in the system-error line when the system has no text for a code.
const char no_system_text[] = "no system message text";

// Paths and templates in messages never exceed the 4,096-unit path buffers
// (the build command refuses longer templates), so one unit per byte fits.
constexpr std::size_t message_text_capacity = 4096 + 1;
char message_text[message_text_capacity];

[[noreturn]] void failure_exit() { exit(2); }

constexpr DWORD processor_feature_fastfail = 23;  // PF_FASTFAIL_AVAILABLE
constexpr unsigned fast_fail_fatal_app_exit = 7;  // FAST_FAIL_FATAL_APP_EXIT
constexpr DWORD status_fatal_app_exit = 0x40000015;

// The fail-fast request: interrupt 0x29 with the code in ECX. The system ends
// the process at once with STATUS_STACK_BUFFER_OVERRUN.
[[noreturn]] void raise_fast_fail(unsigned code) {
    __asm__ volatile("int $0x29" : : "c"(code) : "memory");
    __builtin_unreachable();
}

// Writes one failure line to its stream and, in a windowed launcher, shows
// the same text in a dialog. Formatted by the system's C runtime (every
// format here is %s or %ld): the runtime's own formatter for floating point
// and the rest would make the launcher several KiB larger for nothing.
__attribute__((format(printf, 2, 3))) void write_failure(FILE* stream, const char* format, ...) {
    static char line[16384];
    va_list arguments;
    va_start(arguments, format);
    _vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    line[sizeof line - 1] = '\0';  // a line cut short is left unterminated
    fputs(line, stream);
    fflush(stream);  // the line is out before the dialog waits for the user
    show_failure_dialog(line);
}

void print_wide_message(const char* format, const wchar_t* text) {
    // A text too long for the buffer is shown cut, but the line around it is
    // always written whole.
    narrow_for_message(message_text, message_text_capacity, text);
    write_failure(stderr, format, message_text);
}

}  // namespace

std::size_t trim_line_ends(char* text, std::size_t n) {
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) {
        text[n - 1] = '\0';
        --n;
    }
    return n;
}

bool narrow_for_message(char* out, std::size_t capacity, const wchar_t* text) {
    if (capacity == 0) return false;
    std::size_t n = 0;
    for (; text[n] != L'\0'; ++n) {
        if (n + 1 >= capacity) {
            out[n] = '\0';
            return false;
        }
        const unsigned unit = static_cast<unsigned>(text[n]);
        out[n] = unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    out[n] = '\0';
    return true;
}

void print_system_error(const char* message, std::uint32_t code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM |         //
                                       FORMAT_MESSAGE_IGNORE_INSERTS |  //
                                       FORMAT_MESSAGE_ALLOCATE_BUFFER,  //
                                   nullptr,                             // system table
                                   code,                                // message id
                                   MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                   reinterpret_cast<LPSTR>(&text),  // receives the text
                                   0,                               // minimum size
                                   nullptr);                        // no inserts
    if (n == 0 || text == nullptr) {
        write_failure(stderr, fmt_system_error, message,
                      static_cast<long>(static_cast<int32_t>(code)), no_system_text);
        return;
    }
    trim_line_ends(text, n);
    // The text is left allocated: the process ends right after this line.
    write_failure(stderr, fmt_system_error, message, static_cast<long>(static_cast<int32_t>(code)),
                  text);
}

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

void report_failure(const char* message) {
    write_failure(stdout, "%s\n", message);
    failure_exit();
}

void report_system_failure(const char* message, std::uint32_t code) {
    print_system_error(message, code);
    failure_exit();
}

void fail_header() { report_failure(msg_header); }
void fail_alloc() { report_failure(msg_alloc); }
void fail_decode() { report_failure(msg_decode); }

void fail_unpack(std::uint32_t code) { report_system_failure(msg_unpack, code); }

void fail_launch(std::uint32_t code) { report_system_failure(msg_launch, code); }

void fail_open_for_writing(const wchar_t* path) {
    // Shown in its ordinary form, however the file call spelt it.
    static wchar_t shown[path_capacity];
    // never longer than the path itself, so it always fits
    to_ordinary_form(path, shown, path_capacity);
    print_wide_message(fmt_open_for_writing, shown);
    failure_exit();
}

void fail_template_expansion(const wchar_t* template_text) {
    print_wide_message(fmt_template_expansion, template_text);
    abnormal_end();
}

namespace {

const unsigned char* image_begin = nullptr;  // the launcher's own image, once watched
const unsigned char* image_end = nullptr;

LONG WINAPI on_exception(EXCEPTION_POINTERS* exception) {
    if (is_unreadable_page_in(exception->ExceptionRecord, image_begin, image_end)) fail_decode();
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool is_unreadable_page_in(const void* exception_record, const void* begin, const void* end) {
    const auto* record = static_cast<const EXCEPTION_RECORD*>(exception_record);
    if (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record->NumberParameters < 2) {
        return false;
    }
    // The second parameter is the address that could not be read.
    const auto address = record->ExceptionInformation[1];
    return address >= reinterpret_cast<ULONG_PTR>(begin) &&
           address < reinterpret_cast<ULONG_PTR>(end);
}

void report_unreadable_image_pages() {
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    // The loader has checked these headers before running any code of ours.
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    image_begin = base;
    image_end = base + nt->OptionalHeader.SizeOfImage;
    AddVectoredExceptionHandler(1, on_exception);
}
