// The two spellings of a full path. Windows refuses file calls on paths of
// 260 characters or more unless the machine's LongPathsEnabled policy is on
// (it is off by default), whatever the manifest says; a path in the
// extended form ("\\?\C:\..." or "\\?\UNC\server\share\...") has no such
// limit. The system takes that form exactly as it stands, so it is made
// only from a full, normalised path. Messages show the ordinary form, and a
// program is started by it (CreateProcessW takes no other).
//
// Pure: the decisions only, over fixed buffers.
#pragma once

#include <cstddef>

// Writes the extended form of a full path ("C:\x" or "\\server\share\x");
// false when it does not fit, or the path is in the extended form already.
bool to_extended_form(const wchar_t* full, wchar_t* out, std::size_t capacity);

// Writes the ordinary form of a path in either form; false when it does not
// fit.
bool to_ordinary_form(const wchar_t* path, wchar_t* out, std::size_t capacity);

// The length of a path's root, in either form: "C:", "\\?\C:",
// "\\server\share", "\\?\UNC\server\share"; 0 for a path without one.
// A folder that is its root can be neither made nor needs to be.
std::size_t root_length(const wchar_t* path);
