// How one argument is written into a Windows command line so that the
// program's own splitter (the rules of CommandLineToArgvW) gives it back
// unchanged, and where a line's first argument (the program's name) ends.
// The launcher writes the program's command line with them, and the builder
// measures and shows the fixed arguments with the quoting.
//
// An argument with no blank, tab, line feed, vertical tab or double quote is
// written as it is; others, and the empty argument, are wrapped in double
// quotes: a double quote inside comes out as a backslash and the quote, with
// the backslashes directly before it doubled; backslashes at the end are
// doubled before the closing quote; other backslashes are copied as they are.
//
// Pure and header-only: works on UTF-16 units of any 16-bit type.
#pragma once

#include <cstddef>

namespace command_line {

// Windows takes a command line of at most this many units.
constexpr std::size_t max_units = 32767;

template <typename Unit>
bool needs_quoting(const Unit* argument) {
    if (*argument == 0) return true;
    for (const Unit* p = argument; *p != 0; ++p) {
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '"') return true;
    }
    return false;
}

// Hands the written form to put(Unit), one unit at a time, and stops at the
// first put that returns false (then returns false).
template <typename Unit, typename Put>
bool quote_argument(const Unit* argument, Put&& put) {
    const auto put_backslashes = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!put(static_cast<Unit>('\\'))) return false;
        }
        return true;
    };
    if (!needs_quoting(argument)) {
        for (const Unit* p = argument; *p != 0; ++p) {
            if (!put(*p)) return false;
        }
        return true;
    }
    if (!put(static_cast<Unit>('"'))) return false;
    for (const Unit* p = argument;; ++p) {
        std::size_t backslashes = 0;
        while (*p == '\\') {
            ++backslashes;
            ++p;
        }
        // Doubled at the end, so the closing quote stays a quote.
        if (*p == 0) return put_backslashes(2 * backslashes) && put(static_cast<Unit>('"'));
        if (!put_backslashes(*p == '"' ? 2 * backslashes + 1 : backslashes) || !put(*p)) {
            return false;
        }
    }
}

// Where the program's own name ends in a command line, by the rule Windows
// itself uses for the first argument: a name that opens with a double quote
// runs to the next double quote (which it takes), any other to the first
// blank or tab. The rest, blanks included, is the user's tail: programs that
// read their own line (the C runtime, cmd, Python, .NET) each split it their
// own way, so it is handed on untouched rather than split and quoted again.
template <typename Unit>
const Unit* after_program_name(const Unit* line) {
    const Unit* p = line;
    if (*p == '"') {
        ++p;
        while (*p != 0 && *p != '"') ++p;
        return *p == '"' ? p + 1 : p;
    }
    while (*p != 0 && *p != ' ' && *p != '\t') ++p;
    return p;
}

}  // namespace command_line
