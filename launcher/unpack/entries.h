// Walking the entry stream: each entry's name, size and checksum, read
// through the payload reader. Uses nothing of the platform but the reader and
// the decode failure, so it is fuzzed on Linux as it runs on Windows.
#pragma once

#include "format/block.h"

#include <cstdint>

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
// both are decode failures, which end the process.
bool read_entry_header(entry_header& entry);
