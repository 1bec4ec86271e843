// The payload stream reader over hand-made frames: window refills, reads
// of every size, frame boundaries, and every way the stream can end badly.
#include "format/block.h"
#include "launcher/unpack/reader.h"
#include "tests/support/entry_stream_cases.h"
#include "tests/support/zstd_frames.h"

#include <zlib.h>

#include <gtest/gtest.h>

namespace {

constexpr std::size_t window = payload_format::window_size;

// The decoder input as the launcher sees it: everything after the header.
bytes decoder_input(const bytes& frames, bool with_tail = true) {
    const bytes block = block_around(frames);
    return with_tail ? bytes(block.begin() + 3, block.end()) : frames;
}

bytes read_bytes(std::size_t n) {
    bytes out(n);
    payload_read(out.data(), n);
    return out;
}

bytes slice(const bytes& b, std::size_t from, std::size_t n) {
    return bytes(b.begin() + from, b.begin() + from + n);
}

TEST(ReaderTest, TwoByteUnitSplitAcrossWindowsComesOutWholeAndInOrder) {
    const bytes content = pattern(window + 10);
    const bytes input = decoder_input(raw_frame(content));
    payload_reader_open(input.data(), input.size());
    EXPECT_EQ(read_bytes(window - 1), slice(content, 0, window - 1));
    EXPECT_EQ(read_bytes(2), slice(content, window - 1, 2));
    EXPECT_EQ(read_bytes(9), slice(content, window + 1, 9));
    payload_reader_close();
}

TEST(ReaderTest, ReadLargerThanWindowCompletesInOneCall) {
    const bytes content = pattern(3 * window + 5);
    const bytes input = decoder_input(raw_frame(content));
    payload_reader_open(input.data(), input.size());
    EXPECT_EQ(read_bytes(content.size()), content);
    payload_reader_close();
}

TEST(ReaderTest, SmallReadsDeliverTheStreamWithoutGapsOrRepeats) {
    const bytes content = pattern(2 * window + 77, 7);
    const bytes input = decoder_input(raw_frame(content));
    payload_reader_open(input.data(), input.size());
    bytes got;
    for (std::size_t step = 1; got.size() < content.size(); step = step % 13 + 1) {
        const std::size_t n = std::min(step, content.size() - got.size());
        got = concat(got, read_bytes(n));
    }
    EXPECT_EQ(got, content);
    payload_reader_close();
}

TEST(ReaderTest, ExactReadToFrameEndSucceedsWhenInputStopsThere) {
    // Whole windows right up to the end of the input: the decoder still holds
    // output after its last input byte, which the window-filled marker covers.
    const bytes content = pattern(2 * window, 3);
    const bytes input = decoder_input(raw_frame(content), false);
    payload_reader_open(input.data(), input.size());
    EXPECT_EQ(read_bytes(content.size()), content);
    payload_reader_close();
}

TEST(ReaderTest, ZeroByteReadTouchesNothingEvenAtTheEnd) {
    const bytes content = pattern(100);
    const bytes input = decoder_input(raw_frame(content), false);
    payload_reader_open(input.data(), input.size());
    payload_read(nullptr, 0);  // first read: still no decode call, no failure
    EXPECT_EQ(read_bytes(100), content);
    payload_read(nullptr, 0);  // used up, no input left: still returns
    payload_reader_close();
}

TEST(ReaderTest, TwoFramesBackToBackReadAsOneStream) {
    const bytes first = pattern(window + 3, 1);
    const bytes second = pattern(500, 2);
    const bytes input = decoder_input(concat(raw_frame(first), raw_frame(second)));
    payload_reader_open(input.data(), input.size());
    EXPECT_EQ(read_bytes(first.size() + second.size()), concat(first, second));
    payload_reader_close();
}

TEST(ReaderTest, EmptyFrameContentThenAnotherFrame) {
    const bytes second = pattern(10, 5);
    const bytes input = decoder_input(concat(raw_frame({}), raw_frame(second)));
    payload_reader_open(input.data(), input.size());
    EXPECT_EQ(read_bytes(10), second);
    payload_reader_close();
}

TEST(ReaderTest, WindowOfExactly2To27AndAGoodChecksumDecode) {
    frame_fields fields;
    fields.content_checksum = true;
    const bytes content = pattern(1000);
    const bytes input = decoder_input(raw_frame(content, fields));
    payload_reader_open(input.data(), input.size());
    EXPECT_EQ(read_bytes(content.size()), content);
    payload_reader_close();
}

// Every way a read cannot be met ends the launcher with exit code 2.
void expect_decode_failure(const bytes& input, std::size_t want) {
    EXPECT_EXIT(
        {
            payload_reader_open(input.data(), input.size());
            bytes out(want);
            payload_read(out.data(), want);
        },
        ::testing::ExitedWithCode(2), "");
}

TEST(ReaderDeathTest, ReadingPastTheEndFailsWithZeroFieldAndTrailerBehind) {
    expect_decode_failure(decoder_input(raw_frame(pattern(50))), 51);
}

TEST(ReaderDeathTest, ReadingPastTheEndFailsWhenInputEndsWithTheFrame) {
    expect_decode_failure(decoder_input(raw_frame(pattern(50)), false), 51);
    expect_decode_failure(decoder_input(raw_frame(pattern(2 * window)), false), 2 * window + 1);
}

TEST(ReaderDeathTest, WindowAboveTheLimitIsRefused) {
    frame_fields fields;
    fields.window_descriptor = window_2_27_plus_2_24;
    expect_decode_failure(decoder_input(raw_frame(pattern(50), fields)), 1);
}

TEST(ReaderDeathTest, DictionaryFrameIsRefused) {
    frame_fields fields;
    fields.dictionary_id = 0x1234;
    expect_decode_failure(decoder_input(raw_frame(pattern(50), fields)), 1);
}

TEST(ReaderDeathTest, WrongContentChecksumIsRefused) {
    frame_fields fields;
    fields.content_checksum = true;
    fields.wrong_checksum = true;
    // The content itself comes out; the mismatch shows when the frame ends.
    expect_decode_failure(decoder_input(raw_frame(pattern(50), fields)), 50);
}

TEST(ReaderDeathTest, BytesThatAreNoFrameAreRefused) {
    expect_decode_failure(decoder_input(pattern(64)), 1);
}

TEST(ReaderDeathTest, FrameCutShortEndsTheStream) {
    bytes frame = raw_frame(pattern(1000));
    frame.resize(frame.size() - 100);
    expect_decode_failure(frame, 1000);
}

// The launcher's walk of a start over one frame of the stream, in the
// table's terms: every entry's header and data, then the frame's end.
std::string launcher_walk(const bytes& input) {
    payload_reader_open(input.data(), input.size());
    std::string lines;
    entry_header entry;
    unsigned char data[4096];
    while (read_entry_header(entry)) {
        uLong crc = crc32_z(0L, Z_NULL, 0);
        for (std::uint64_t left = entry.stored_size; left > 0;) {
            const std::size_t n = left < sizeof data ? static_cast<std::size_t>(left) : sizeof data;
            payload_read(data, n);
            crc = crc32_z(crc, data, n);
            left -= n;
        }
        const std::u16string name(entry.name, entry.name + wcslen(entry.name));
        const std::uint32_t sum =
            payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc));
        lines += entry_line(name, entry.stored_size, sum == entry.stored_checksum, false);
    }
    payload_reader_finish();
    payload_reader_close();
    return lines + "end";
}

// The table every reader is held to: what the launcher accepts walks as the
// table says; what it refuses ends the start with the decode failure.
TEST(ReaderDeathTest, CraftedEntryStreamsWalkAsTheTableSaysOrEndTheStart) {
    for (const stream_case& c : entry_stream_cases()) {
        const bytes input = decoder_input(raw_frame(c.stream));
        if (c.launcher_refuses) {
            EXPECT_EXIT(launcher_walk(input), ::testing::ExitedWithCode(2), "") << c.what;
        } else {
            const std::string dropped = c.outcome == "after end" ? "end" : c.outcome;
            EXPECT_EQ(launcher_walk(input), c.entries + dropped) << c.what;
        }
    }
}

}  // namespace
