// `fenwix list`, `fenwix verify` (contents.cpp) and `fenwix extract`
// (extract.cpp): look inside a built launcher without running it. Each reads
// the file only; a damaged or foreign file gets one error (tool_error) and
// nothing is written.
#pragma once

#include <string>
#include <vector>

// Prints the build values and every entry (name, size, stored checksum).
void run_list(const std::string& launcher);

// Decodes the whole block and recomputes every entry's checksum. Returns 0,
// or 1 after naming the first entry whose data do not match.
int run_verify(const std::string& launcher);

// Writes the entries' names and bytes below `folder`, as the launcher would
// unpack them, refusing any name that could leave it. Writes into a new
// folder beside `folder` and renames it into place only when complete.
void run_extract(const std::string& launcher, const std::string& folder);
