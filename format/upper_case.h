// Upper case as file names need it, one rule wherever the question is asked.
//
// Windows compares file names by upper-casing each UTF-16 unit through a
// fixed one-to-one table, whatever the user's locale: É and é are one file,
// ß stays ß (its upper case is two letters), and a surrogate stays as it is.
// A C runtime's towupper cannot stand in for that table: it folds by the
// process's locale, and in the C locale only ASCII. So the table is ours,
// generated from the Unicode data (format/upper_case_table.h).
//
// Keywords and device names are ASCII and match ASCII only, so that a
// non-ASCII unit can never turn into one of them.
//
// Pure and header-only: works on UTF-16 units of any 16-bit type.
#pragma once

#include "format/upper_case_table.h"

#include <cstddef>

// The unit in upper case for comparing file names.
constexpr char16_t upper_case_unit(char16_t unit) {
    // The runs are sorted and disjoint: find the first whose last is not
    // below the unit.
    std::size_t low = 0;
    std::size_t high = sizeof(upper_case_data::runs) / sizeof(upper_case_data::runs[0]);
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (upper_case_data::runs[middle].last < unit) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == sizeof(upper_case_data::runs) / sizeof(upper_case_data::runs[0])) return unit;
    const upper_case_data::run& r = upper_case_data::runs[low];
    if (unit < r.first || (unit - r.first) % r.step != 0) return unit;
    return static_cast<char16_t>(unit + r.delta);
}

// The unit with a-z raised to A-Z and every other unit as it is.
template <typename Unit>
constexpr Unit ascii_upper_case(Unit unit) {
    return unit >= Unit('a') && unit <= Unit('z') ? static_cast<Unit>(unit - 'a' + 'A') : unit;
}
