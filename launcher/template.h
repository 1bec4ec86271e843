// Expansion of path templates such as "{CACHE_DIR}\Orvelle": literal text is
// copied, keywords in braces are replaced by values known at run time.
//
// Keywords (ASCII letters match without regard to case):
//   TEMP            the temporary folder (GetTempPathW)              strips '\'
//   PROGRAM         the launcher's full long path (GetModuleFileNameW)
//   PROGRAM_BASE    that path without a final ".exe"
//   PROGRAM_DIR     that path up to, not including, its last '\'
//   PID             FENWIX_ONEFILE_PARENT, or this process's id
//   HOME            the user's profile folder                        strips '\'
//   CACHE_DIR       the user's local application-data folder          strips '\'
//   COMPANY, PRODUCT, VERSION, FILE_VERSION, PRODUCT_VERSION   build-time values
//   RANDOM          11 URL-safe Base64 characters   cached in FENWIX_ONEFILE_RANDOM
//   TIME            100 ns intervals since 1601     cached in FENWIX_ONEFILE_START
//   TIME_US         its microseconds, six digits    cached in FENWIX_ONEFILE_TIME_US
//   APP_DIR         the folder the application was unpacked into, once it is
//                   known (know_app_folder); unknown before, so an extraction
//                   template cannot use it
// "Strips" removes every backslash from the end of the whole output, so a
// root such as X:\ becomes X: and the temporary folder loses its final '\'.
//
// Choices where a template is odd (the builder refuses every one of these,
// but a launcher made by hand or by an older builder may carry one):
//   - a "}" outside a keyword is copied as a literal;
//   - a "{" inside a keyword starts the name again;
//   - a keyword still open at the end of the template is dropped;
//   - a keyword name longer than 1,023 units fails the expansion at once
//     (no keyword is that long, so it could never be recognised);
//   - TEMP fails the expansion when GetTempPathW fails or its path does not
//     fit, as PROGRAM does when GetModuleFileNameW fails;
//   - only ASCII "0" to "9" count as digits in FENWIX_ONEFILE_PARENT.
//
// Two kinds of overflow: a literal character that does not fit fails the
// expansion (the caller reports it); a keyword value that does not fit ends
// the process abnormally, since no sane run produces one.
#pragma once

#include "format/template_grammar.h"

#include <cstddef>
#include <cstdint>

// Expands template_text into output (capacity units, terminator included,
// at least 1). Returns false on an unknown keyword, a literal that does not
// fit, or a system folder that cannot be obtained; the output is then unusable.
bool expand_template(wchar_t* output, const wchar_t* template_text, std::size_t capacity);

// Appends the value of the keyword `name` to output; false when the keyword
// is unknown, its value is not known yet, or a system folder cannot be had.
bool append_keyword(wchar_t* output, std::size_t capacity, const wchar_t* name);

// The folder {APP_DIR} names from now on (kept, not copied: it must live
// until exit).
void know_app_folder(const wchar_t* folder);

// ---- The decisions behind the keywords, as pure functions.

// The keywords and their lookup are the grammar's, shared with the builder.
using template_grammar::keyword;
using template_grammar::lookup_keyword;

// Removes every trailing backslash of text.
void strip_trailing_backslashes(wchar_t* text);
// Cuts a final ".exe" (any ASCII case) off text.
void cut_exe_ending(wchar_t* text);
// Cuts text at its last backslash; text without one stays whole.
void cut_at_last_backslash(wchar_t* text);
// True when text is one or more ASCII digits.
bool is_decimal_text(const wchar_t* text);

// The random text: seed from the performance counter, the process id and
// an address (0 becomes 1), eight xorshift32 bytes, URL-safe Base64 without
// padding (11 characters).
std::uint32_t random_seed(std::uint64_t counter, std::uint32_t process_id, std::uintptr_t address);
void draw_random_bytes(std::uint32_t seed, unsigned char (&out)[8]);
void encode_random_text(const unsigned char (&in)[8], wchar_t (&out)[12]);

// The microseconds within the second of a system time (100 ns units).
long microseconds_within_second(std::int64_t system_time);
