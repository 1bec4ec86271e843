// Versions side by side, and removing old ones safely. A launcher built to
// keep N versions unpacks each version into a folder of its own (the last
// level of its template holds a version keyword); once a version is wholly
// unpacked it gets a marker, ".fenwix-version", naming the product, the
// company, the version and the folder's own name. Only sibling folders whose
// marker names this product and company, and whose name is the one their
// marker gives (a copy under another name is not ours), are ever removed.
// A folder chosen for removal is first renamed, whole, to a rubbish name of
// the launcher's own, then emptied; rubbish left by an interrupted removal
// is finished by a later start.
//
// The marker, all integers little-endian:
//   0   8   magic "FWXVER01"
//   8       four texts: product, company, version, folder name; each a u16
//           length in UTF-16 units, then the units
// and nothing after the last text.
//
// Pure and header-only: the launcher and the tests share these rules.
#pragma once

#include "format/block.h"
#include "format/template_grammar.h"

#include <cstddef>
#include <cstdint>

namespace version_folders {

constexpr char marker_magic[8] = {'F', 'W', 'X', 'V', 'E', 'R', '0', '1'};
constexpr std::size_t marker_texts = 4;
enum marker_text { marker_product = 0, marker_company = 1, marker_version = 2, marker_name = 3 };
// A name holds at most 255 units on the file systems Windows writes.
constexpr std::size_t max_marker_text_units = 255;
constexpr std::size_t max_marker_size = 8 + marker_texts * (2 + 2 * max_marker_text_units);

// Rubbish is named this prefix and 16 hexadecimal digits.
constexpr wchar_t rubbish_prefix[] = L".fenwix-rubbish-";
constexpr std::size_t rubbish_prefix_units = sizeof rubbish_prefix / sizeof rubbish_prefix[0] - 1;

struct text_view {
    const unsigned char* units;  // UTF-16LE
    std::size_t count;
};

// The marker's bytes; 0 when a text is longer than a marker holds.
template <typename Unit>
std::size_t encode_marker(unsigned char* out, const Unit* const (&texts)[marker_texts]) {
    std::size_t size = 8;
    for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(marker_magic[i]);
    for (const Unit* text : texts) {
        std::size_t units = 0;
        while (text[units] != 0) ++units;
        if (units > max_marker_text_units) return 0;
        payload_format::write_le(out + size, units, 2);
        for (std::size_t u = 0; u < units; ++u) {
            payload_format::write_le(out + size + 2 + 2 * u, static_cast<std::uint16_t>(text[u]),
                                     2);
        }
        size += 2 + 2 * units;
    }
    return size;
}

// Whether `size` bytes are a whole marker; its texts then point into data.
inline bool parse_marker(const unsigned char* data, std::size_t size,
                         text_view (&texts)[marker_texts]) {
    if (size < 8) return false;
    for (std::size_t i = 0; i < 8; ++i) {
        if (data[i] != static_cast<unsigned char>(marker_magic[i])) return false;
    }
    std::size_t at = 8;
    for (text_view& t : texts) {
        if (size - at < 2) return false;
        t.count = static_cast<std::size_t>(payload_format::read_le(data + at, 2));
        if (t.count > max_marker_text_units || (size - at - 2) / 2 < t.count) return false;
        t.units = data + at + 2;
        at += 2 + 2 * t.count;
    }
    return at == size;
}

// Whether a marker's text is `text` (terminated), unit for unit.
template <typename Unit>
bool text_is(const text_view& t, const Unit* text) {
    for (std::size_t u = 0; u < t.count; ++u) {
        if (text[u] == 0 ||
            payload_format::read_le(t.units + 2 * u, 2) != static_cast<std::uint16_t>(text[u])) {
            return false;
        }
    }
    return text[t.count] == 0;
}

// A version "A.B.C.D" (four numbers of at most 65535, at most 5 digits
// each) as one number that orders versions, A highest.
template <typename Unit>
bool parse_version(const Unit* text, std::size_t units, std::uint64_t& out) {
    std::size_t at = 0;
    out = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at == units || text[at] != '.') return false;
            ++at;
        }
        const std::size_t start = at;
        std::uint64_t value = 0;
        while (at < units && at - start < 6 && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
            ++at;
        }
        if (at == start || value > 65535) return false;
        out = out << 16 | value;
    }
    return at == units;
}

// What the last level of a template gives, for keeping versions: it must
// name the version, and nothing that changes from start to start (then every
// start would be a folder of its own) nor a keyword that gives a path (then
// the last level would be another one).
enum class last_level { fit, no_version, changes_per_start, gives_a_path };

template <typename Unit>
last_level judge_last_level(const Unit* template_text) {
    struct visitor {
        bool version = false, per_start = false, path = false;
        bool literal(Unit u) {
            if (u == '\\' || u == '/') version = per_start = path = false;
            return true;
        }
        bool keyword(const Unit* name) {
            using template_grammar::keyword;
            switch (template_grammar::lookup_keyword(name)) {
                case keyword::version:
                case keyword::file_version:
                case keyword::product_version:
                    version = true;
                    break;
                case keyword::pid:
                case keyword::time:
                case keyword::time_us:
                case keyword::random:
                    per_start = true;
                    break;
                case keyword::temp:
                case keyword::home:
                case keyword::cache_dir:
                case keyword::program:
                case keyword::program_base:
                case keyword::program_dir:
                case keyword::app_dir:
                    path = true;
                    break;
                default:
                    break;
            }
            return true;
        }
        bool odd(template_grammar::oddity) { return true; }
    } v;
    template_grammar::scan(template_text, v);
    if (v.path) return last_level::gives_a_path;
    if (v.per_start) return last_level::changes_per_start;
    return v.version ? last_level::fit : last_level::no_version;
}

// One version folder beside the current one, and what becomes of it.
enum class verdict { keep_recent, keep_newer, remove };
struct sibling {
    std::uint64_t version;
    std::size_t order;  // a tie-breaker among equal versions (its place in a listing)
    verdict fate;
};

// Keeps the `keep` - 1 newest siblings and every one newer than the current
// version; the rest go. `keep` is at least 1: the current folder itself
// always stays and is not among the siblings. Sorts the siblings, newest
// first.
inline void judge_siblings(sibling* siblings, std::size_t count, std::uint64_t current,
                           std::size_t keep) {
    for (std::size_t i = 1; i < count; ++i) {
        const sibling s = siblings[i];
        std::size_t j = i;
        for (; j > 0 && (siblings[j - 1].version < s.version ||
                         (siblings[j - 1].version == s.version && siblings[j - 1].order > s.order));
             --j) {
            siblings[j] = siblings[j - 1];
        }
        siblings[j] = s;
    }
    for (std::size_t i = 0; i < count; ++i) {
        siblings[i].fate = i + 1 < keep                    ? verdict::keep_recent
                           : siblings[i].version > current ? verdict::keep_newer
                                                           : verdict::remove;
    }
}

// Whether a folder's name is rubbish: the prefix and 16 hexadecimal digits.
template <typename Unit>
bool is_rubbish_name(const Unit* name) {
    for (std::size_t i = 0; i < rubbish_prefix_units; ++i) {
        if (name[i] != static_cast<Unit>(rubbish_prefix[i])) return false;
    }
    std::size_t digits = 0;
    for (const Unit* p = name + rubbish_prefix_units; *p != 0; ++p, ++digits) {
        const bool hex = (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f');
        if (!hex) return false;
    }
    return digits == 16;
}

}  // namespace version_folders
