// Unpacking a block cut into independent frames on every core. The main
// thread makes the files, in stream order, large ones at their final size;
// each decoding thread takes the next frame, decodes it alone and hands the
// pieces of the files it holds to a writing thread of its own, which writes
// them where they belong while the next bytes decode; a small pool closes
// the files, so that a scanner holding one close does not hold the others.
// An entry's checksum is combined from its pieces, whichever threads wrote
// them, and the file is closed only once it matches.
//
// A failure on any thread (a frame that does not decode, a header that is
// not the index's, a checksum that does not match, a write that fails)
// stops every thread; the files not finished are removed through the
// handles that wrote them, and the main thread reports the failure once.
#pragma once

#include "launcher/unpack/index_entries.h"

#include <cstddef>
#include <cstdint>

// What the main sequence gives the unpacking.
struct frame_unpack_job {
    const index_entries* index;     // with a frame table
    const unsigned char* block;     // from its "QJX", in the mapped image
    std::uint64_t block_length;     // up to the trailer
    const wchar_t* folder;          // the target folder, extended form
    const unsigned char* to_write;  // one flag per entry: its file is not right
};

// Whether the index carries a frame table that fits a block of this length,
// so the block can be unpacked frame by frame.
bool frames_usable(const index_entries& index, std::uint64_t block_length);

// Writes every entry flagged in job.to_write, decoding only the frames that
// hold them; returns once every file is written, checked and closed, or
// ends the process with the failure.
void unpack_frames(const frame_unpack_job& job);
