// The grammar of extraction templates such as "{CACHE_DIR}\Orvelle", and the
// rule for the folder one must give. The launcher expands templates with this
// scanner; the builder judges them with the same scanner before it writes
// one into a launcher, so the two can never disagree on what a template says.
//
// A template is literal text with keywords in braces. ASCII letters of a
// keyword name match without regard to case. The scanner reports three odd
// shapes, which the launcher tolerates as it always has and the builder
// refuses: a "{" inside a keyword (the name starts again), a "}" outside one
// (a literal), and a keyword still open at the end (dropped).
//
// Pure and header-only: works on UTF-16 units of any 16-bit type.
#pragma once

#include "format/names.h"
#include "format/upper_case.h"

#include <cstddef>

namespace template_grammar {

enum class keyword {
    unknown,
    temp,
    program,
    program_base,
    program_dir,
    pid,
    home,
    cache_dir,
    company,
    product,
    version,
    file_version,
    product_version,
    random,
    time_us,
    time,
    app_dir,  // only in launch-line values: the folder the application was unpacked into
};

struct keyword_name {
    const char* name;
    keyword id;
};
constexpr keyword_name keyword_table[] = {
    {"TEMP", keyword::temp},
    {"PROGRAM", keyword::program},
    {"PROGRAM_BASE", keyword::program_base},
    {"PROGRAM_DIR", keyword::program_dir},
    {"PID", keyword::pid},
    {"HOME", keyword::home},
    {"CACHE_DIR", keyword::cache_dir},
    {"COMPANY", keyword::company},
    {"PRODUCT", keyword::product},
    {"VERSION", keyword::version},
    {"FILE_VERSION", keyword::file_version},
    {"PRODUCT_VERSION", keyword::product_version},
    {"RANDOM", keyword::random},
    {"TIME_US", keyword::time_us},
    {"TIME", keyword::time},
    {"APP_DIR", keyword::app_dir},
};

// A keyword name holds at most this many units.
constexpr std::size_t max_keyword_units = 1023;

template <typename Unit>
keyword lookup_keyword(const Unit* name) {
    for (const keyword_name& k : keyword_table) {
        std::size_t i = 0;
        while (name[i] != 0 && k.name[i] != '\0' &&
               ascii_upper_case(static_cast<unsigned>(name[i])) ==
                   static_cast<unsigned>(k.name[i])) {
            ++i;
        }
        if (name[i] == 0 && k.name[i] == '\0') return k.id;
    }
    return keyword::unknown;
}

enum class oddity { restarted_keyword, stray_close, unclosed_keyword };

// Walks a terminated template and tells the visitor what it finds, in order:
//   bool literal(Unit unit)           a unit outside a keyword
//   bool keyword(const Unit* name)    a closed keyword's terminated name
//   bool odd(oddity what)             an odd shape; true goes on as the
//                                     launcher does (a stray "}" then comes
//                                     as a literal)
// A visitor that returns false stops the walk, and scan returns false; so
// does a keyword name longer than max_keyword_units, which no keyword is.
template <typename Unit, typename Visitor>
bool scan(const Unit* text, Visitor& visitor) {
    Unit name[max_keyword_units + 1];
    std::size_t name_units = 0;
    bool inside = false;
    for (const Unit* p = text; *p != 0; ++p) {
        if (*p == '{') {
            if (inside && !visitor.odd(oddity::restarted_keyword)) return false;
            inside = true;
            name_units = 0;
        } else if (inside && *p == '}') {
            name[name_units] = 0;
            inside = false;
            if (!visitor.keyword(static_cast<const Unit*>(name))) return false;
        } else if (inside) {
            if (name_units == max_keyword_units) return false;
            name[name_units++] = *p;
        } else {
            if (*p == '}' && !visitor.odd(oddity::stray_close)) return false;
            if (!visitor.literal(*p)) return false;
        }
    }
    return !inside || visitor.odd(oddity::unclosed_keyword);
}

// Whether a folder is one the launcher may unpack into: a drive letter, a
// colon, a backslash and at least one folder level ("C:\Users\me\Orvelle"),
// or a share ("\\server\share", with or without levels below it). Every
// level is a name Windows stores as given, so none is "." or "..", and none
// holds a ":" or "/". So the folder is never a drive's root, a drive's or the
// process's current folder, a device or a stream, and no level can climb
// out of the folder the text seems to name.
template <typename Unit>
bool is_full_folder_path(const Unit* path) {
    std::size_t units = 0;
    while (path[units] != 0) ++units;
    std::size_t start;
    std::size_t levels_needed;
    const auto is_letter = [](unsigned u) { return (u | 0x20) >= 'a' && (u | 0x20) <= 'z'; };
    if (units >= 3 && is_letter(static_cast<unsigned>(path[0])) && path[1] == ':' &&
        path[2] == '\\') {
        start = 3;
        levels_needed = 1;
    } else if (units >= 2 && path[0] == '\\' && path[1] == '\\') {
        start = 2;
        levels_needed = 2;  // the server and the share
    } else {
        return false;
    }
    std::size_t levels = 0;
    while (start <= units) {
        std::size_t end = start;
        while (end < units && path[end] != '\\') ++end;
        if (entry_names::check_level(path + start, end - start) != entry_names::problem::none) {
            return false;
        }
        ++levels;
        start = end + 1;
    }
    return levels >= levels_needed;
}

}  // namespace template_grammar
