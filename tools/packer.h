// The packer: turns an application folder into a payload block.
//
// Entry order: the main program first, then every other regular file ordered
// by its UTF-16 name, so the same folder always gives a byte-identical block.
// File data is streamed: no file and no folder is ever held in memory whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// One clear message for the user; the command prints it and exits non-zero.
struct tool_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr int default_compression_level = 19;

struct folder_entry {
    std::u16string name;    // backslash-separated, relative to the folder
    std::string disk_path;  // where the packer reads the file
};

// Lists the folder's files in block order. main_relpath may be empty (the
// single top-level .exe is then the main program). Throws tool_error for an
// empty folder, a missing or ambiguous main program, a name that cannot be
// carried, names equal when case is ignored, and anything that is neither a
// regular file nor a folder (symbolic links included).
std::vector<folder_entry> list_application_folder(const std::string& app_dir,
                                                  const std::string& main_relpath);

// A name or path as messages show it: 'like this'.
std::string in_quotes(const std::string& text);

// The UTF-8 sequence at text[i]: sets its code point (surrogate code points
// included, as WTF-8 writes them) and returns its length in bytes, or 0 when
// the bytes there start no valid sequence.
std::size_t decode_utf8_at(const std::string& text, std::size_t i, std::uint32_t& code_point);
// Appends a code point as one or two UTF-16 units.
void append_utf16(std::u16string& out, std::uint32_t code_point);

// UTF-8 to UTF-16; throws tool_error naming `what` for invalid UTF-8.
std::u16string utf8_to_utf16(const std::string& text, const std::string& what);

// UTF-16 to UTF-8. A lone surrogate, which has no UTF-8 form, is written in
// the three-byte form of its code point (as WTF-8 does, so a Windows name
// holding one still names the same file) and sets `exact` to false.
std::string utf16_to_utf8(const std::u16string& text, bool* exact = nullptr);

// Why a name cannot be carried, or empty when it can.
std::string name_problem(const std::u16string& name);

// CRC-32 (zlib's) of a file, streamed, and the file's size.
void checksum_file(const std::string& path, std::uint32_t& crc, std::uint64_t& size);

// The bytes that precede an entry's data: name units, 0 unit, size, checksum.
std::vector<unsigned char> encode_entry_header(const std::u16string& name, std::uint64_t size,
                                               std::uint32_t stored_checksum);

// Receives the bytes of a block in order.
using block_sink = std::function<void(const void* data, std::size_t size)>;

// Streams the complete block for the entries into `out`, adding the bytes of
// file data read to the progress line. When `index` is given, it receives
// the block's index (format/index.h): every entry's header, then the
// terminator.
void write_block_to(const std::vector<folder_entry>& entries, int level, const block_sink& out,
                    std::vector<unsigned char>* index = nullptr);

// The length of the index write_block_to gives for these entries: it depends
// on their names only.
std::uint64_t index_length(const std::vector<folder_entry>& entries);

// The sum of the entries' file sizes: what a progress line counts to.
std::uint64_t total_file_bytes(const std::vector<folder_entry>& entries);

// Writes the complete block for the entries to out_path (through a temporary
// file renamed into place only when complete).
void write_block(const std::vector<folder_entry>& entries, const std::string& out_path, int level);

// Runs `writer` on a temporary file beside `path` and renames that into place
// only when the writer and the final flush succeed; on any failure (a thrown
// tool_error included) the temporary file is removed and `path` is untouched.
void write_file_atomically(const std::string& path, const std::function<void(std::FILE*)>& writer);
