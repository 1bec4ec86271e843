#include "payload/extract.h"

#include "payload/format.h"
#include "payload/reader.h"

namespace {

unsigned char copy_buffer[payload_format::copy_chunk_size];  // reused for every chunk

}  // namespace

void unpack_entry(const wchar_t* path, std::uint64_t stored_size, std::uint32_t stored_checksum) {
    (void)path;
    (void)stored_checksum;
    std::uint64_t remaining = stored_size;
    while (remaining > 0) {
        const std::uint64_t chunk =
            remaining < sizeof copy_buffer ? remaining : sizeof copy_buffer;
        payload_read(copy_buffer, chunk);
        remaining -= chunk;
    }
}
