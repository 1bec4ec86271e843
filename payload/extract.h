// Writing the entries of the payload to disk.
#pragma once

#include <cstdint>

// Brings the file at path into the state the entry describes and advances the
// payload stream by exactly stored_size bytes.
void unpack_entry(const wchar_t* path, std::uint64_t stored_size, std::uint32_t stored_checksum);
