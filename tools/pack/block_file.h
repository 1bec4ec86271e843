// A payload block in a file, read back: its ends checked, and its entry
// stream decoded a window at a time through the block reader
// (format/block_reader.h), as the launcher reads it, so neither the block
// nor an entry is ever held whole. The index builder, `fenwix list`, `verify`
// and `extract` read blocks only this way. Every fault is one tool_error
// naming the file.
#pragma once

#include "format/block_reader.h"
#include "format/index.h"
#include "format/names.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Exactly n bytes at `offset` of the file at `path`, or a tool_error.
void read_file_at(std::FILE* file, const std::string& path, std::uint64_t offset,
                  unsigned char* out, std::size_t n);

// Checks the block's "QJX", its zero field and its trailer; `what` names the
// file in the message.
void check_block_ends(std::FILE* file, const std::string& path, std::uint64_t block_start,
                      std::uint64_t block_length, const std::string& what);

// One entry's header as the stream holds it.
struct block_entry {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint32_t checksum = 0;
    entry_names::problem problem = entry_names::problem::none;  // of the name
    std::size_t number = 0;                                     // 1 for the first entry
};

struct block_decoder;  // the Zstandard side, block_file.cpp's own

// The entry stream of the block at [block_start, block_start + block_length)
// of an open file, whose ends check_block_ends has checked.
class block_stream {
public:
    block_stream(std::FILE* file, const std::string& path, std::uint64_t block_start,
                 std::uint64_t block_length);
    ~block_stream();
    block_stream(const block_stream&) = delete;
    block_stream& operator=(const block_stream&) = delete;

    // Reads the next entry's header into e (counting e.number up); false at
    // the terminator. The name's problem is the caller's to act on.
    bool next_entry(block_entry& e);
    // Passes the entry's data to `out` (when given) and returns their entry
    // checksum.
    std::uint32_t copy_entry_data(const block_entry& e, std::FILE* out,
                                  const std::string& out_path);
    // After the terminator: the frame must end there, exactly at the zero field.
    void expect_end();
    // Where each frame decoded so far began (all of them after expect_end).
    const std::vector<payload_index::frame>& frames() const;

private:
    [[noreturn]] void fail(block_reader::result why, const block_entry* e = nullptr) const;

    std::string path_;
    std::unique_ptr<block_decoder> decoder_;
    std::vector<unsigned char> window_;
    block_reader::reader reader_{};
};
