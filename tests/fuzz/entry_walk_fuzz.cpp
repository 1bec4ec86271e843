// Fuzzes the launcher's walk over a payload block (launcher_walk.cpp): the
// block reader (format/block_reader.h) with its entry headers and their name
// rule, through the launcher's Zstandard glue (launcher/unpack/reader.cpp).
// Input: a whole block ("QJX", frame, zero field, trailer).
//
// Expected outcomes: the walk reaches the terminator, or ends with the header
// or decode failure, or abnormally (a path that does not fit). The reader is
// closed after every run, so whatever it holds is freed.
#include "tests/fuzz/launcher_walk.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t entries = 0;
    walk_launcher_block(data, size, entries);
    return 0;
}
