// `fenwix list`, `fenwix verify` and `fenwix extract`: look inside a built
// launcher without running it. Each reads the file only; a damaged or foreign
// file gets one error (tool_error) and nothing is written.
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

// The index of a ready block, made by decoding it: what a launcher built from
// the block's folder would carry. Empty when the block does not decode to
// the end or holds a name the launcher would refuse.
std::vector<unsigned char> index_of_block(const std::string& block_path);
