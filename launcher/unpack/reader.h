// Streaming reader over the payload's compressed stream: hands out the next N
// bytes of the entry stream, in order, through one fixed 131,072-byte window.
// The whole decompressed stream is never in memory; a read allocates nothing.
// A read that cannot be completed reports the decode failure and never returns.
#pragma once

#include <cstdint>

// source: the block bytes after the 3-byte header (frame, zero field, trailer).
void payload_reader_open(const void* source, std::uint64_t source_size);
void payload_read(void* destination, std::uint64_t count);
// After the terminator: the frame must end, with its content checksum (when
// it carries one) right; anything else is the decode failure.
void payload_reader_finish();
void payload_reader_close();

// Bytes of the source the decoder has consumed so far; safe to call from any
// thread (it only shows how far unpacking is).
std::uint64_t payload_reader_consumed();
