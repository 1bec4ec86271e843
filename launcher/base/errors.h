// Failure reporting: every message the launcher can print, the streams they
// go to, and the two ways the launcher ends before its child runs. Lines keep
// every character of a path: a console gets them as text, a file or a pipe
// as UTF-8.
//
//   reported failure: one "Error, ..." line, then exit code 2 (runtime exit,
//                     which flushes a redirected standard output);
//   abnormal end:     a violated internal limit; no message, no flush,
//                     fail-fast status 0xC0000409 (or exit code 3 where the
//                     system has no fail-fast service).
#pragma once

#include "launcher/base/abnormal_end.h"

#include <cstddef>
#include <cstdint>

// Writes "<message> ([Error <code as signed>] <system text>)" and a line end
// to standard error: the system's text in the user's language, else in
// English, else none ("([Error <code>])"). Returns.
void print_system_error(const char* message, std::uint32_t code);

[[noreturn]] void report_failure(const char* message);

[[noreturn]] void fail_header();
[[noreturn]] void fail_alloc();
[[noreturn]] void fail_decode();
// The caller passes the system's error code for what failed; the line names
// the file in hand, if any.
[[noreturn]] void fail_unpack(std::uint32_t code);
// The caller passes GetLastError as taken right after the failed start.
[[noreturn]] void fail_launch(std::uint32_t code);
// A program or folder path longer than `limit` that has no short form either.
[[noreturn]] void fail_launch_path_too_long(const wchar_t* path, std::size_t limit);
// Called straight after the call that failed: the line carries its error code.
[[noreturn]] void fail_open_for_writing(const wchar_t* path);
[[noreturn]] void fail_template_expansion(const wchar_t* template_text);

// Besides the standard handles, each failure line (without its line end)
// also goes to `display`, which returns when the user has seen it: the
// windowed launcher's dialog, set by the main sequence before anything can
// fail, so that this floor depends on no window code.
void show_failures_with(void (*display)(const wchar_t* line));

// The file being unpacked, named by a failure to unpack (nullptr: none). The
// path must live until the launcher ends.
void note_file_in_hand(const wchar_t* path);

// Removes every trailing CR and LF from the first n characters of text (which
// it terminates at the new end) and returns the new length. Anything else
// before the line end, a blank or a full stop, stays.
std::size_t trim_line_ends(wchar_t* text, std::size_t n);

// While the block is read: a page of it that cannot be read on the calling
// thread (an in-page error: the share or the stick the launcher runs from
// went away while the block was being decoded from it) reports the decode
// failure, instead of ending the process without a word. Other threads and
// other addresses keep the system's handling, so an in-page error elsewhere
// (a background check, once the program runs) never ends the launcher as a
// decode failure, nor its program with it.
void guard_block_reads(const void* begin, const void* end);
// Another thread that decodes the block while the guard is on.
void guard_block_reads_here();
void end_block_read_guard();

// The decision: whether an exception (an EXCEPTION_RECORD) is an in-page
// error at an address within [begin, end).
bool is_unreadable_page_in(const void* exception_record, const void* begin, const void* end);
