// Text for the tool's messages and names: the one error type every part of
// the tool throws, the quoting messages use, and the UTF-8 and UTF-16
// conversions between the command line, the file systems and the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// One clear message for the user; the command prints it and exits non-zero.
struct tool_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A name or path as messages show it: 'like this'.
std::string in_quotes(const std::string& text);

// The UTF-8 sequence at text[i]: sets its code point (surrogate code points
// included, as WTF-8 writes them) and returns its length in bytes, or 0 when
// the bytes there start no valid sequence.
std::size_t decode_utf8_at(const std::string& text, std::size_t i, std::uint32_t& code_point);
// Appends a code point as one or two UTF-16 units.
void append_utf16(std::u16string& out, std::uint32_t code_point);

// UTF-8 to UTF-16; throws tool_error naming `what` for invalid UTF-8.
std::u16string utf8_to_utf16(const std::string& text, const std::string& what);

// UTF-16 to UTF-8. A lone surrogate, which has no UTF-8 form, is written in
// the three-byte form of its code point (as WTF-8 does, so a Windows name
// holding one still names the same file) and sets `exact` to false.
std::string utf16_to_utf8(const std::u16string& text, bool* exact = nullptr);
