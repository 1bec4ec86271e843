// The launcher's side of the block reader (format/block_reader.h): the
// Zstandard decoder over the block in the mapped image, feeding one fixed
// 131,072-byte window. The whole decompressed stream is never in memory; a
// read allocates nothing. A read that cannot be met, a header that cannot
// be read or names a file the launcher must not write, and a frame that does
// not end right are the decode failure, which ends the process.
#pragma once

#include "format/block.h"

#include <cstdint>

// source: the block bytes after the 3-byte header (frame, zero field, trailer).
void payload_reader_open(const void* source, std::uint64_t source_size);
void payload_read(void* destination, std::uint64_t count);
// After the terminator: the frame must end, with its content checksum (when
// it carries one) right; what it holds after the terminator is dropped.
void payload_reader_finish();
void payload_reader_close();

// Bytes of the source the decoder has consumed so far; safe to call from any
// thread (it only shows how far unpacking is).
std::uint64_t payload_reader_consumed();

struct entry_header {
    wchar_t name[payload_format::name_buffer_units];  // terminated
    std::uint64_t stored_size;
    std::uint32_t stored_checksum;
};

// Reads the next entry's name, size and checksum. Returns false at the
// terminator (an empty name). A name that reaches 1,024 units without its 0
// unit cannot come from a valid block, and a name that could leave the
// target folder or name anything but a plain file (a "..", a drive, a
// stream, a device) is refused before anything touches the disk for it:
// both are decode failures.
bool read_entry_header(entry_header& entry);
