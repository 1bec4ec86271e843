// The attached payload block, byte for byte. Both the launcher (which reads
// blocks) and the packer (which writes them) take the layout from here.
//
// Block:   "QJX" | Zstandard frames | 4 zero bytes | u64 count of the bytes before it
// The frames are independent and back to back, so a streaming decoder reads
// them as one stream; older blocks hold one frame.
// Their content (the entry stream), all integers little-endian:
//   per entry: name (UTF-16LE units, then a 0 unit) | u64 size | u32 checksum | data
//   then the terminator: one 0 unit (an empty name).
#pragma once

#include <cstddef>
#include <cstdint>

namespace payload_format {

constexpr char magic[3] = {'Q', 'J', 'X'};
constexpr std::size_t magic_size = 3;
constexpr std::size_t zero_field_size = 4;
constexpr std::size_t trailer_size = 8;
constexpr std::size_t tail_size = zero_field_size + trailer_size;

// A name holds at most this many units before its 0 unit.
constexpr std::size_t max_name_units = 1023;
constexpr std::size_t name_buffer_units = max_name_units + 1;

// Fixed sizes of the reader's output window and of the extraction copy buffer.
constexpr std::size_t window_size = 131072;
constexpr std::size_t copy_chunk_size = 32768;

// The largest window a reader accepts (2^27, Zstandard's default limit):
// the one frame of older blocks has exactly this window.
constexpr int frame_window_log = 27;

// The frames as the packer builds them: a window of 2^25, no content size, a
// content checksum (checked by every reader when the frame ends), no
// dictionary id. The window bounds what each decoding thread holds.
constexpr int packed_window_log = 25;

// Stored checksums are never 0: 0 means "no readable file on disk", so an
// entry whose CRC-32 is 0 (all empty data) stores 1 instead.
constexpr std::uint32_t entry_checksum_from_crc(std::uint32_t crc) { return crc == 0 ? 1u : crc; }

// Little-endian integers of 1 to 8 bytes, for every layout the project writes.
inline std::uint64_t read_le(const unsigned char* in, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | in[i];
    return v;
}
inline void write_le(unsigned char* out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void put_u32_le(unsigned char* out, std::uint32_t v) { write_le(out, v, 4); }
inline void put_u64_le(unsigned char* out, std::uint64_t v) { write_le(out, v, 8); }
inline std::uint32_t get_u32_le(const unsigned char* in) {
    return static_cast<std::uint32_t>(read_le(in, 4));
}
inline std::uint64_t get_u64_le(const unsigned char* in) { return read_le(in, 8); }

// What follows the frame: the zero field, then the count of the block's
// bytes before the trailer ("QJX", the frame and the zero field).
inline void put_tail(unsigned char (&tail)[tail_size], std::uint64_t frame_bytes) {
    for (unsigned char& b : tail) b = 0;
    put_u64_le(tail + zero_field_size, magic_size + frame_bytes + zero_field_size);
}

}  // namespace payload_format
