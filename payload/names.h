// The one rule for entry names, shared by the launcher (which refuses a bad
// name before it touches the disk), the packer (which never writes one) and
// `fenwix extract`. A good name is a plain relative path below the target
// folder that Windows stores as given: levels split by backslashes, none
// empty, "." or "..", none ending in a blank or a full stop (which Windows
// drops), no device name (CON, NUL, COM1...), and no control character or
// any of < > : " / | ? *. So no name can be absolute, carry a drive or UNC
// prefix, name an alternate data stream, or leave the target folder.
//
// Pure and header-only: works on UTF-16 units of any 16-bit type.
#pragma once

#include "payload/format.h"

#include <cstddef>

namespace entry_names {

enum class problem {
    none,
    empty,
    too_long,
    empty_level,
    dot_level,
    trailing_blank_or_dot,
    device_name,
    forbidden_character,
};

inline const char* describe(problem p) {
    switch (p) {
        case problem::none:
            return "";
        case problem::empty:
            return "the name is empty";
        case problem::too_long:
            return "the name is longer than 1023 UTF-16 units";
        case problem::empty_level:
            return "the name has an empty folder level";
        case problem::dot_level:
            return "the name has a '.' or '..' level";
        case problem::trailing_blank_or_dot:
            return "a name level ends in a blank or a full stop, which Windows drops";
        case problem::device_name:
            return "a name level is a Windows device name";
        case problem::forbidden_character:
            return "the name holds a character that Windows file names cannot hold";
    }
    return "the name cannot be carried";
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, with or without an extension, name
// devices on Windows, not files.
template <typename Unit>
bool is_device_name(const Unit* level, std::size_t units) {
    std::size_t stem = 0;
    while (stem < units && level[stem] != '.') ++stem;
    char upper[4] = {};
    if (stem < 3 || stem > 4) return false;
    for (std::size_t i = 0; i < stem; ++i) {
        const unsigned u = static_cast<unsigned>(level[i]);
        if (u > 0x7F) return false;
        upper[i] = static_cast<char>(u >= 'a' && u <= 'z' ? u - 'a' + 'A' : u);
    }
    const auto is = [&](const char* word) {
        return upper[0] == word[0] && upper[1] == word[1] && upper[2] == word[2];
    };
    if (stem == 3) return is("CON") || is("PRN") || is("AUX") || is("NUL");
    return (is("COM") || is("LPT")) && upper[3] >= '1' && upper[3] <= '9';
}

inline bool is_forbidden_unit(unsigned u) {
    return u < 0x20 || u == '<' || u == '>' || u == ':' || u == '"' || u == '/' || u == '|' ||
           u == '?' || u == '*';
}

template <typename Unit>
problem check(const Unit* name, std::size_t units) {
    if (units == 0) return problem::empty;
    if (units > payload_format::max_name_units) return problem::too_long;
    std::size_t start = 0;
    while (start <= units) {
        std::size_t end = start;
        while (end < units && name[end] != '\\') ++end;
        const Unit* level = name + start;
        const std::size_t length = end - start;
        if (length == 0) return problem::empty_level;
        if ((length == 1 && level[0] == '.') ||
            (length == 2 && level[0] == '.' && level[1] == '.')) {
            return problem::dot_level;
        }
        for (std::size_t i = 0; i < length; ++i) {
            if (is_forbidden_unit(static_cast<unsigned>(level[i]))) {
                return problem::forbidden_character;
            }
        }
        if (level[length - 1] == ' ' || level[length - 1] == '.') {
            return problem::trailing_blank_or_dot;
        }
        if (is_device_name(level, length)) return problem::device_name;
        start = end + 1;
    }
    return problem::none;
}

}  // namespace entry_names
