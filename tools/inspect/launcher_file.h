// A built launcher opened for inspection: its image checked down to the
// payload block's ends, its build values, launch line and index read, and
// the texts `list`, `verify` and `extract` show of it. A damaged or foreign
// file gets one tool_error.
#pragma once

#include "format/values_section.h"
#include "tools/pack/block_file.h"
#include "tools/host/file_ptr.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The launcher file, checked down to the payload block's frame boundaries.
struct launcher_file {
    std::string path;
    file_ptr file;
    std::uint64_t size = 0;
    std::size_t checksum_offset = 0;  // of the image's CheckSum field
    std::uint32_t stored_checksum = 0;
    std::u16string texts[values_section::text_count];
    std::uint64_t block_start = 0;  // file offset of "QJX"
    std::uint64_t block_length = 0;
    std::vector<unsigned char> index;  // empty when the launcher has none
    // The launch line, when the launcher has one.
    bool has_launch = false;
    bool start_in_app_folder = false;
    bool quick_check = false;
    std::uint32_t kept_versions = 0;  // 0: every version stays
    std::vector<std::u16string> fixed_arguments, variables;
};

launcher_file open_launcher(const std::string& path);

// The entry stream of the launcher's block.
inline block_stream open_block_stream(launcher_file& f) {
    return block_stream(f.file.get(), f.path, f.block_start, f.block_length);
}

void read_at(const launcher_file& f, std::uint64_t offset, unsigned char* out, std::size_t n);

// Text from the file as a listing or a message shows it: controls and
// bidirectional marks escaped as \uXXXX, so no name passes for another.
std::string shown(const std::u16string& text);
std::string hex8(std::uint32_t v);
// "entry N 'name'", and why its data do not match its checksum.
std::string entry_label(const block_entry& e);
std::string mismatch_text(const block_entry& e, std::uint32_t computed);
