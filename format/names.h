// The one rule for entry names, shared by the launcher (which refuses a bad
// name before it touches the disk), the packer (which never writes one) and
// `fenwix extract`. A good name is a plain relative path below the target
// folder that Windows stores as given: levels split by backslashes, none
// empty, "." or "..", none ending in a blank or a full stop (which Windows
// drops), no device name (CON, NUL, COM1, CONIN$...), no control character or
// any of < > : " / | ? *, and none in the 8.3 form with a "~" that Windows
// gives short names. So no name can be absolute, carry a drive or UNC
// prefix, name an alternate data stream, leave the target folder, or reach
// another entry's file through its short name.
//
// Pure and header-only: works on UTF-16 units of any 16-bit type.
#pragma once

#include "format/block.h"
#include "format/upper_case.h"

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
    short_name_form,
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
        case problem::short_name_form:
            return "a name level has the form of a Windows short name (8.3 with a '~'), "
                   "which can stand for another file";
    }
    return "the name cannot be carried";
}

// Names Windows reserves for devices, with or without an extension, and
// with blanks before it ("NUL .txt" is NUL too): CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, and COM and LPT followed by a digit 0-9 or a superscript
// one, two or three.
template <typename Unit>
bool is_device_name(const Unit* level, std::size_t units) {
    std::size_t stem = 0;
    while (stem < units && level[stem] != '.') ++stem;
    while (stem > 0 && level[stem - 1] == ' ') --stem;
    if (stem < 3 || stem > 7) return false;
    char upper[8] = {};
    for (std::size_t i = 0; i < stem; ++i) {
        const unsigned u = static_cast<unsigned>(level[i]);
        // The superscript digits are the only non-ASCII units of a device name.
        const bool last_of_four = stem == 4 && i == 3;
        if (u > 0x7F && !(last_of_four && (u == 0xB9 || u == 0xB2 || u == 0xB3))) return false;
        upper[i] = static_cast<char>(u > 0x7F ? '1' : ascii_upper_case(u));
    }
    const auto is = [&](const char* word) {
        for (std::size_t i = 0; i <= stem; ++i) {
            if ((i == stem ? '\0' : upper[i]) != word[i]) return false;
        }
        return true;
    };
    if (stem == 3) return is("CON") || is("PRN") || is("AUX") || is("NUL");
    if (stem == 4) {
        return ((upper[0] == 'C' && upper[1] == 'O' && upper[2] == 'M') ||
                (upper[0] == 'L' && upper[1] == 'P' && upper[2] == 'T')) &&
               upper[3] >= '0' && upper[3] <= '9';
    }
    return is("CONIN$") || is("CONOUT$");
}

// The form Windows gives a short name: at most eight units, then at most a
// full stop and three units, with a "~" before the full stop ("PROGRA~1",
// "ABCD~AUF.TXT"). A long name of that form could be the short name of
// another file in the same folder, so that writing one writes the other.
template <typename Unit>
bool is_short_name_form(const Unit* level, std::size_t units) {
    std::size_t base = 0;
    while (base < units && level[base] != '.') ++base;
    if (base == 0 || base > 8 || units - base > 4) return false;
    for (std::size_t i = base + 1; i < units; ++i) {
        if (level[i] == '.') return false;
    }
    for (std::size_t i = 0; i < base; ++i) {
        if (level[i] == '~') return true;
    }
    return false;
}

inline bool is_forbidden_unit(unsigned u) {
    return u < 0x20 || u == '<' || u == '>' || u == ':' || u == '"' || u == '/' || u == '|' ||
           u == '?' || u == '*';
}

// One level of a path: not empty, "." or "..", no forbidden unit, no
// trailing blank or full stop, no device name.
template <typename Unit>
problem check_level(const Unit* level, std::size_t length) {
    if (length == 0) return problem::empty_level;
    if ((length == 1 && level[0] == '.') || (length == 2 && level[0] == '.' && level[1] == '.')) {
        return problem::dot_level;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (is_forbidden_unit(static_cast<unsigned>(level[i]))) return problem::forbidden_character;
    }
    if (level[length - 1] == ' ' || level[length - 1] == '.') return problem::trailing_blank_or_dot;
    if (is_device_name(level, length)) return problem::device_name;
    return problem::none;
}

template <typename Unit>
problem check(const Unit* name, std::size_t units) {
    if (units == 0) return problem::empty;
    if (units > payload_format::max_name_units) return problem::too_long;
    std::size_t start = 0;
    while (start <= units) {
        std::size_t end = start;
        while (end < units && name[end] != '\\') ++end;
        const problem p = check_level(name + start, end - start);
        if (p != problem::none) return p;
        if (is_short_name_form(name + start, end - start)) return problem::short_name_form;
        start = end + 1;
    }
    return problem::none;
}

}  // namespace entry_names
