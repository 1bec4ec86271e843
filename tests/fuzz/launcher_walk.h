// The launcher's walk over a payload block, as unpack_payload does it for a
// launcher whose files are all up to date: the header check, then every
// entry header, its path below a typical target folder, and its data
// consumed in copy-buffer chunks, up to the terminator.
#pragma once

#include <cstddef>
#include <cstdint>

// True when the walk reached the terminator; false when the launcher would
// have ended with the header or decode failure or abnormally. The reader is
// closed either way. `entries` receives the number of entries walked.
bool walk_launcher_block(const std::uint8_t* block, std::size_t size, std::size_t& entries);
