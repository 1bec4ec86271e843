// Writing the entries of the payload to disk, and the unchanged-file test that
// makes every start after the first one cheap: a file whose checksum already
// matches is read, never opened for writing.
#pragma once

#include <cstddef>
#include <cstdint>

// Brings the file at path into the state the entry describes and advances the
// payload stream by exactly stored_size bytes.
void unpack_entry(const wchar_t* path, std::uint64_t stored_size, std::uint32_t stored_checksum);

// The same, once the unchanged-file test has been made: a file up to date is
// not opened for writing, and its data are read and dropped. A file written
// is checked against stored_checksum from the data as they are decoded;
// data that do not match remove the file and end the start with the decode
// failure, so nothing wrong is ever started or recorded as right.
void unpack_checked_entry(const wchar_t* path, std::uint64_t stored_size,
                          std::uint32_t stored_checksum, bool up_to_date);

// The entry checksum of the file at path (CRC-32, 0 replaced by 1), or 0 when
// there is no readable file. An existing empty file has checksum 1, like an
// empty entry, so it is not rewritten on every start. The file is read
// through a fixed buffer rather than mapped: under Wine, mapping a file costs
// several round trips to the server and a fault per page, which made a start
// that checks every file twice as slow; reading is as fast as it is natively.
std::uint32_t file_checksum(const wchar_t* path);

// The same through a buffer of checksum_buffer_size bytes, for threads other
// than the main one (file_checksum uses the main thread's buffer).
constexpr std::size_t checksum_buffer_size = 256 * 1024;
std::uint32_t file_checksum_with(const wchar_t* path, unsigned char* buffer);
