// --exclude: leaving files of the application folder out, by patterns in the
// style of .gitignore, matched on the path relative to the folder with "/"
// between levels, whatever the host:
//   - "*" is any run of characters but "/", "?" one character but "/",
//     "[abc]", "[a-z]" and "[!abc]" one character of a set, "\x" the
//     character x itself, and "**" any run of levels ("a/**/b", "**/x", "x/**");
//   - a pattern with no "/" but a trailing one matches a name at any level
//     ("*.pdb", "node_modules");
//   - a pattern with a "/" elsewhere is anchored at the folder ("docs/*.md",
//     "/build");
//   - a trailing "/" matches folders only ("cache/").
// A folder that matches is left out whole.
#pragma once

#include <string>
#include <vector>

// Why a pattern cannot be used, or empty when it can.
std::string exclude_pattern_problem(const std::string& pattern);

// Whether `pattern` leaves out the file or folder at `relative` ("a/b/c").
bool exclude_matches(const std::string& pattern, const std::string& relative, bool is_folder);

// Whether any of the patterns does.
bool excluded(const std::vector<std::string>& patterns, const std::string& relative,
              bool is_folder);
