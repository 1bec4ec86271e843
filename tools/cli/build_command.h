// `fenwix build`: writes a launcher, the precompiled stub that the tool
// carries, with the resources and a values section holding the build-time
// values and the payload block. No compiler, linker or resource compiler
// runs: the image is written byte for byte (tools/image/pe_image.h), so the same
// folder and options give the same file on any host.
#pragma once

#include "tools/cli/build_checks.h"
#include "tools/cli/build_options.h"
#include "tools/cli/progress.h"

#include <cstdint>
#include <string>
#include <vector>

// The values section up to the block: header, texts, launch line (none when
// the options give none) and index (none when empty) for a block of
// block_length bytes.
std::vector<unsigned char> values_head(const build_options& options,
                                       const std::vector<unsigned char>& index,
                                       std::uint64_t block_length);

// Runs the whole build: fills in the defaults from the main program, checks,
// packs and writes; returns what the summary line tells. Throws tool_error and leaves no output on
// failure.
build_summary run_build(build_options options);
