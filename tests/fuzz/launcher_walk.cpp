#include "tests/fuzz/launcher_walk.h"

#include "launcher/base/fixed_buffer.h"
#include "format/block.h"
#include "format/names.h"
#include "launcher/unpack/reader.h"
#include "tests/fuzz/launcher_end.h"

#include <cstdlib>
#include <cstring>

namespace {

const wchar_t target_folder[] = L"C:\\Users\\Fuzz\\AppData\\Local\\Orvelle";

// Process-wide, as in the launcher.
entry_header entry;
wchar_t current_file_path[path_capacity];
unsigned char copy_buffer[payload_format::copy_chunk_size];

void walk_entries(std::size_t& entries) {
    while (read_entry_header(entry)) {
        // What the walk hands out must be a name the launcher may use.
        const std::size_t units = wide_length_within(entry.name, payload_format::name_buffer_units);
        if (units == 0 || units > payload_format::max_name_units ||
            entry_names::check(entry.name, units) != entry_names::problem::none) {
            std::abort();
        }
        wide_copy_or_abort(current_file_path, path_capacity, target_folder);
        wide_append_or_abort(current_file_path, path_capacity, L"\\");
        wide_append_or_abort(current_file_path, path_capacity, entry.name);
        for (std::uint64_t left = entry.stored_size; left > 0;) {
            const std::size_t chunk =
                static_cast<std::size_t>(left < sizeof copy_buffer ? left : sizeof copy_buffer);
            payload_read(copy_buffer, chunk);
            left -= chunk;
        }
        ++entries;
    }
}

}  // namespace

bool walk_launcher_block(const std::uint8_t* block, std::size_t size, std::size_t& entries) {
    entries = 0;
    if (size < payload_format::magic_size ||
        std::memcmp(block, payload_format::magic, payload_format::magic_size) != 0) {
        return false;  // the header failure, before the reader opens
    }
    payload_reader_open(block + payload_format::magic_size, size - payload_format::magic_size);
    bool reached_end = true;
    try {
        walk_entries(entries);
    } catch (launcher_end) {
        reached_end = false;
    }
    payload_reader_close();
    return reached_end;
}
