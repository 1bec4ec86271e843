// Bounded copies into fixed UTF-16 buffers. A capacity always counts the
// terminator. A copy that does not fit changes nothing and says so; the
// *_or_abort forms end the process abnormally instead, which is what every
// path buffer of the launcher does on overflow.
#pragma once

#include <cstddef>

// The launcher's path buffers: target folder, current file, child program,
// folder work buffer, module path.
constexpr std::size_t path_capacity = 4096;

bool wide_copy(wchar_t* buffer, std::size_t capacity, const wchar_t* text);
bool wide_append(wchar_t* buffer, std::size_t capacity, const wchar_t* text);
// Appends exactly count units of text (which need not be terminated).
bool wide_append_units(wchar_t* buffer, std::size_t capacity, const wchar_t* text,
                       std::size_t count);

void wide_copy_or_abort(wchar_t* buffer, std::size_t capacity, const wchar_t* text);
void wide_append_or_abort(wchar_t* buffer, std::size_t capacity, const wchar_t* text);

// Length of a text that must be terminated within capacity units; a text with
// no terminator there yields capacity.
std::size_t wide_length_within(const wchar_t* buffer, std::size_t capacity);

// The last backslash of text, or nullptr. When skip_first is set the first
// unit is not looked at (so a leading backslash never counts).
wchar_t* find_last_backslash(wchar_t* text, bool skip_first);
