// Failure reporting: every message the launcher can print, the streams they
// go to, and the two ways the launcher ends before its child runs.
//
//   reported failure: one "Error, ..." line, then exit code 2 (runtime exit,
//                     which flushes a redirected standard output);
//   abnormal end:     a violated internal limit; no message, no flush,
//                     fail-fast status 0xC0000409 (or exit code 3 where the
//                     system has no fail-fast service).
#pragma once

#include <cstddef>
#include <cstdint>

// Writes "<message> ([Error <code as signed>] <system text>)" and a line feed
// to standard error. Returns.
void print_system_error(const char* message, std::uint32_t code);

[[noreturn]] void abnormal_end();
[[noreturn]] void report_failure(const char* message);
[[noreturn]] void report_system_failure(const char* message, std::uint32_t code);

[[noreturn]] void fail_header();
[[noreturn]] void fail_alloc();
[[noreturn]] void fail_decode();
// The caller passes the system's error code for what failed.
[[noreturn]] void fail_unpack(std::uint32_t code);
// The caller passes GetLastError as taken right after the failed start.
[[noreturn]] void fail_launch(std::uint32_t code);
[[noreturn]] void fail_open_for_writing(const wchar_t* path);
[[noreturn]] void fail_template_expansion(const wchar_t* template_text);

// Removes every trailing CR and LF from the first n characters of text (which
// it terminates at the new end) and returns the new length. Anything else
// before the line end, a blank or a full stop, stays.
std::size_t trim_line_ends(char* text, std::size_t n);

// Renders a wide text for a narrow message: units up to U+00FF become the
// byte of the same value, units above it become '?'. Writes at most
// capacity - 1 bytes and a terminator; returns false when the text was cut.
bool narrow_for_message(char* out, std::size_t capacity, const wchar_t* text);

// From now on, a page of the launcher's own image that cannot be read (an
// in-page error: the share or the stick it runs from went away while the
// block was being decoded from it) reports the decode failure, instead of
// ending the process without a word.
void report_unreadable_image_pages();

// The decision: whether an exception (an EXCEPTION_RECORD) is an in-page
// error at an address within [begin, end).
bool is_unreadable_page_in(const void* exception_record, const void* begin, const void* end);
