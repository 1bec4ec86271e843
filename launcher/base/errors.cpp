#include "launcher/base/errors.h"

#include "launcher/base/fixed_buffer.h"
#include "launcher/base/path_forms.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

// Where a windowed launcher shows a failure too; nothing before it is set.
void (*failure_display)(const wchar_t* line) = nullptr;

// The complete message table. Plain messages go to standard output through
// report_failure; the rest go to standard error. Each text is a prefix of
// its line, as scripts that read these lines expect.
const char msg_header[] = "Error, couldn't find attached data header.";
const char msg_alloc[] = "Error, couldn't allocate memory.";
const char msg_decode[] = "Error, couldn't decode attached data.";
const char msg_unpack[] = "Error, couldn't unpack file to target path.";
const char msg_launch[] = "Error, couldn't launch child";
const char msg_open_before[] = "Error, failed to open '";
const char msg_open_after[] = "' for writing.";
const char msg_expand_before[] = "Error, couldn't runtime expand spec '";
const char msg_expand_after[] = "'.";
const char msg_too_long_before[] = " '";
const char msg_too_long_middle[] = "' is longer than the ";
const char msg_too_long_after[] =
    " characters Windows starts a program from or in, and has no short form: a shorter "
    "template makes it fit.";
const char msg_file_before[] = " File: '";
const char msg_file_after[] = "'.";

// One failure line, built whole before it is written. Paths and templates
// never exceed the 4,096-unit path buffers, so a line always fits.
constexpr std::size_t line_capacity = 16384;
wchar_t failure_line[line_capacity];
std::size_t line_length = 0;
// The system's text for a code, and the line once encoded for a file or pipe.
constexpr std::size_t system_text_capacity = 4096;
wchar_t system_text[system_text_capacity];
char encoded_line[3 * line_capacity];
// The file being written when unpacking failed (nullptr: none yet).
const wchar_t* file_in_hand = nullptr;
// A path in a failure line, in its ordinary form however the file call spelt
// it (never longer than the path itself, so it always fits).
wchar_t shown_path[path_capacity];

[[noreturn]] void failure_exit() { exit(2); }

void begin_line() {
    line_length = 0;
    failure_line[0] = L'\0';
}

// Appends as much as fits; the last units stay for the line end.
void put_units(const wchar_t* text, std::size_t count) {
    for (std::size_t i = 0; i < count && line_length + 3 < line_capacity; ++i) {
        failure_line[line_length++] = text[i];
    }
    failure_line[line_length] = L'\0';
}
void put_wide(const wchar_t* text) { put_units(text, wcslen(text)); }
void put_ascii(const char* text) {
    for (; *text != '\0'; ++text) {
        const wchar_t unit = static_cast<unsigned char>(*text);
        put_units(&unit, 1);
    }
}
void put_signed(long value) {
    wchar_t digits[24];
    std::size_t n = 0;
    unsigned long magnitude =
        value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) put_ascii("-");
    while (n > 0) put_units(&digits[--n], 1);
}

// The system's text for code in the user's language, else in English; false
// when it has none in either.
bool find_system_text(std::uint32_t code) {
    const DWORD languages[] = {MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),  // the user's
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
    for (const DWORD language : languages) {
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM |        //
                                           FORMAT_MESSAGE_IGNORE_INSERTS,  //
                                       nullptr,                            // the system's table
                                       code,                               // message id
                                       language,                           //
                                       system_text,                        // receives the text
                                       system_text_capacity,               //
                                       nullptr);                           // no inserts
        if (n > 0 && n < system_text_capacity && trim_line_ends(system_text, n) > 0) return true;
    }
    return false;
}

// " ([Error <code as signed>] <system text>)", or without the text when the
// system has none.
void put_system_error(std::uint32_t code) {
    put_ascii(" ([Error ");
    put_signed(static_cast<long>(static_cast<std::int32_t>(code)));
    put_ascii("]");
    if (find_system_text(code)) {
        put_ascii(" ");
        put_wide(system_text);
    }
    put_ascii(")");
}

// A console gets the line as it is; a file or a pipe gets UTF-8, as the line
// would have been typed.
void write_line_out(DWORD stream) {
    const HANDLE out = GetStdHandle(stream);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, failure_line, static_cast<DWORD>(line_length), &written, nullptr);
        return;
    }
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, failure_line, static_cast<int>(line_length), encoded_line,
                            static_cast<int>(sizeof encoded_line), nullptr, nullptr);
    if (bytes > 0) WriteFile(out, encoded_line, static_cast<DWORD>(bytes), &written, nullptr);
}

// Writes the line to the stream and, in a windowed launcher, shows it in a
// dialog.
void write_failure(DWORD stream) {
    const std::size_t text_length = line_length;
    put_ascii("\r\n");
    write_line_out(stream);
    // The line is out before the dialog waits for the user; the dialog shows
    // it without its line end.
    failure_line[text_length] = L'\0';
    if (failure_display != nullptr) failure_display(failure_line);
}
}  // namespace

void show_failures_with(void (*display)(const wchar_t* line)) { failure_display = display; }

std::size_t trim_line_ends(wchar_t* text, std::size_t n) {
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n')) {
        text[n - 1] = L'\0';
        --n;
    }
    return n;
}

void print_system_error(const char* message, std::uint32_t code) {
    begin_line();
    put_ascii(message);
    put_system_error(code);
    write_failure(STD_ERROR_HANDLE);
}

void report_failure(const char* message) {
    begin_line();
    put_ascii(message);
    write_failure(STD_OUTPUT_HANDLE);
    failure_exit();
}

namespace {

// The system's error line, then the failure's exit.
[[noreturn]] void report_system_failure(const char* message, std::uint32_t code) {
    print_system_error(message, code);
    failure_exit();
}

}  // namespace

void fail_header() { report_failure(msg_header); }
void fail_alloc() { report_failure(msg_alloc); }
void fail_decode() { report_failure(msg_decode); }

void note_file_in_hand(const wchar_t* path) { file_in_hand = path; }

void fail_unpack(std::uint32_t code) {
    begin_line();
    put_ascii(msg_unpack);
    put_system_error(code);
    if (file_in_hand != nullptr) {
        // Shown in its ordinary form, however the file call spelt it; never
        // longer than the path itself, so it always fits.
        to_ordinary_form(file_in_hand, shown_path, path_capacity);
        put_ascii(msg_file_before);
        put_wide(shown_path);
        put_ascii(msg_file_after);
    }
    write_failure(STD_ERROR_HANDLE);
    failure_exit();
}

void fail_launch(std::uint32_t code) { report_system_failure(msg_launch, code); }

void fail_launch_path_too_long(const wchar_t* path, std::size_t limit) {
    begin_line();
    put_ascii(msg_launch);
    put_system_error(ERROR_FILENAME_EXCED_RANGE);
    put_ascii(msg_too_long_before);
    put_wide(path);
    put_ascii(msg_too_long_middle);
    put_signed(static_cast<long>(limit));
    put_ascii(msg_too_long_after);
    write_failure(STD_ERROR_HANDLE);
    failure_exit();
}

void fail_open_for_writing(const wchar_t* path) {
    // Taken first: the caller reports straight after the call that failed.
    const DWORD code = GetLastError();
    to_ordinary_form(path, shown_path, path_capacity);
    begin_line();
    put_ascii(msg_open_before);
    put_wide(shown_path);
    put_ascii(msg_open_after);
    if (code != ERROR_SUCCESS) put_system_error(code);
    write_failure(STD_ERROR_HANDLE);
    failure_exit();
}

void fail_template_expansion(const wchar_t* template_text) {
    begin_line();
    put_ascii(msg_expand_before);
    put_wide(template_text);
    put_ascii(msg_expand_after);
    write_failure(STD_ERROR_HANDLE);
    abnormal_end();
}

namespace {

// The block's bytes in the mapped image, and the threads that decode them
// while the guard is on: the main thread, and each frame's decoder.
constexpr LONG max_guarded_threads = 32;
const void* guarded_begin = nullptr;
const void* guarded_end = nullptr;
volatile DWORD guarded_threads[max_guarded_threads];
volatile LONG guarded_count = 0;
void* guard_handler = nullptr;

bool is_guarded_thread(DWORD id) {
    const LONG n = guarded_count < max_guarded_threads ? guarded_count : max_guarded_threads;
    for (LONG i = 0; i < n; ++i) {
        if (guarded_threads[i] == id) return true;
    }
    return false;
}

LONG WINAPI on_exception(EXCEPTION_POINTERS* exception) {
    if (is_unreadable_page_in(exception->ExceptionRecord, guarded_begin, guarded_end) &&
        is_guarded_thread(GetCurrentThreadId())) {
        fail_decode();
    }
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

void guard_block_reads(const void* begin, const void* end) {
    guarded_begin = begin;
    guarded_end = end;
    guarded_count = 0;
    guard_block_reads_here();
    if (guard_handler == nullptr) guard_handler = AddVectoredExceptionHandler(1, on_exception);
}

void guard_block_reads_here() {
    const LONG slot = InterlockedIncrement(&guarded_count) - 1;
    // More decoders than slots cannot be started; one would go unguarded.
    if (slot < max_guarded_threads) guarded_threads[slot] = GetCurrentThreadId();
}

void end_block_read_guard() {
    if (guard_handler != nullptr) RemoveVectoredExceptionHandler(guard_handler);
    guard_handler = nullptr;
    guarded_count = 0;
}
