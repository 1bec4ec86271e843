#include "tools/pack/exclude.h"

namespace {

// Matches pattern[p..] against text[t..]; "*" and "?" never cross a "/",
// "**" does. Backtracking is bounded by the short patterns people write.
bool glob(const std::string& pattern, std::size_t p, const std::string& text, std::size_t t) {
    while (p < pattern.size()) {
        const char c = pattern[p];
        if (c == '*') {
            const bool any_levels = p + 1 < pattern.size() && pattern[p + 1] == '*';
            std::size_t next = p + (any_levels ? 2 : 1);
            // "**/" also matches no level at all.
            if (any_levels && next < pattern.size() && pattern[next] == '/' &&
                glob(pattern, next + 1, text, t)) {
                return true;
            }
            for (std::size_t end = t;; ++end) {
                if (glob(pattern, next, text, end)) return true;
                if (end >= text.size() || (!any_levels && text[end] == '/')) return false;
            }
        }
        if (t >= text.size()) return false;
        if (c == '?') {
            if (text[t] == '/') return false;
        } else if (c == '[') {
            std::size_t q = p + 1;
            const bool negated = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
            if (negated) ++q;
            bool found = false;
            for (bool first = true; q < pattern.size() && (first || pattern[q] != ']');
                 first = false) {
                if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
                    found = found || (text[t] >= pattern[q] && text[t] <= pattern[q + 2]);
                    q += 3;
                } else {
                    found = found || text[t] == pattern[q];
                    ++q;
                }
            }
            if (q >= pattern.size() || found == negated || text[t] == '/') return false;
            p = q;  // at the "]"
        } else if (c == '\\' && p + 1 < pattern.size()) {
            if (text[t] != pattern[++p]) return false;
        } else if (c != text[t]) {
            return false;
        }
        ++p;
        ++t;
    }
    return t == text.size();
}

}  // namespace

std::string exclude_pattern_problem(const std::string& pattern) {
    if (pattern.empty() || pattern == "/") return "the pattern is empty";
    if (pattern[0] == '!') return "patterns that take files back ('!') are not supported";
    int depth = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\') {
            ++i;
        } else if (pattern[i] == '[') {
            depth = 1;
        } else if (pattern[i] == ']') {
            depth = 0;
        }
    }
    if (depth != 0) return "a '[' is never closed";
    return {};
}

bool exclude_matches(const std::string& pattern, const std::string& relative, bool is_folder) {
    std::string p = pattern;
    if (p.back() == '/') {
        if (!is_folder) return false;
        p.pop_back();
    }
    if (p.find('/') == std::string::npos) {
        // A name at any level: its last level.
        const std::size_t slash = relative.rfind('/');
        return glob(p, 0, slash == std::string::npos ? relative : relative.substr(slash + 1), 0);
    }
    if (p[0] == '/') p.erase(0, 1);
    return glob(p, 0, relative, 0);
}

bool excluded(const std::vector<std::string>& patterns, const std::string& relative,
              bool is_folder) {
    for (const std::string& p : patterns) {
        if (exclude_matches(p, relative, is_folder)) return true;
    }
    return false;
}
