// How one argument is written into a Windows command line so that the
// program's own splitter (the rules of CommandLineToArgvW) gives it back
// unchanged. The launcher writes the program's command line with it, and the
// builder measures and shows the fixed arguments with it.
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

}  // namespace command_line
