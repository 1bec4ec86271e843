// Crafted entry streams and what the block reader (format/block_reader.h)
// makes of each: one table that every side of the reader is held to. The
// host tests drive it through a plain-bytes decoder handing the stream out
// in pieces of every size and through the tool's glue over a block file;
// the launcher's unit tests through its Zstandard glue, where what the
// launcher refuses must end the start with the decode failure.
#pragma once

#include "format/block_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<unsigned char>;

struct stream_case {
    std::string what;
    bytes stream;
    // One line per entry walked whole: its name (units above 0x7E as
    // \uXXXX), its size, whether its data give its stored checksum, and
    // "bad name" when the name rule refuses it.
    std::string entries;
    // How the walk ends under the tool's exact rule: "end", "cut short",
    // "name too long" or "after end" (the launcher drops what follows the
    // terminator, so that one ends for it as "end").
    std::string outcome;
    // The launcher's reader ends with the decode failure (data that do not
    // give their checksum are refused later, as their file is written).
    bool launcher_refuses;
};

std::vector<stream_case> entry_stream_cases();

// One entry's line, as stream_case::entries writes it.
std::string entry_line(const std::u16string& name, std::uint64_t size, bool data_right,
                       bool bad_name);
std::string outcome_text(block_reader::result r);
// The entry stream's bytes, handed out at most `step` bytes a call, then
// the end of the frame.
struct plain_decoder {
    const bytes* stream;
    std::size_t at;
    std::size_t step;
};
block_reader::decoder decoder_over(plain_decoder& d);

// Walks the reader to its end, reading each entry's data `chunk` bytes at a
// time: the entries' lines, then the outcome.
std::string walk_lines(block_reader::reader& r, block_reader::end_rule rule, std::size_t chunk);
