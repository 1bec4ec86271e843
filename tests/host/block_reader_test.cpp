// The block reader over the shared table of crafted entry streams
// (tests/support/entry_stream_cases.h): pure, with the stream handed out in
// pieces of every size, and through the tool's glue over a block file, which
// the index builder, list, verify and extract all read through.
#include "tests/support/entry_stream_cases.h"
#include "tests/support/host_support.h"
#include "tools/host/host_platform.h"
#include "tools/pack/block_file.h"
#include "tools/pack/packer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// What the table expects under a rule: the launcher's drops what follows
// the terminator.
std::string expected(const stream_case& c, block_reader::end_rule rule) {
    const bool dropped = rule == block_reader::end_rule::drop_rest && c.outcome == "after end";
    return c.entries + (dropped ? "end" : c.outcome);
}

TEST(BlockReaderTest, EveryCraftedStreamWalksTheSameInPiecesOfEverySize) {
    const std::size_t steps[] = {1, 2, 13, 65536, SIZE_MAX};
    const std::size_t windows[] = {3, payload_format::window_size};
    for (const stream_case& c : entry_stream_cases()) {
        for (const auto rule : {block_reader::end_rule::exact, block_reader::end_rule::drop_rest}) {
            for (const std::size_t step : steps) {
                for (const std::size_t capacity : windows) {
                    plain_decoder source{&c.stream, 0, step};
                    bytes window(capacity);
                    block_reader::reader r;
                    block_reader::open(r, decoder_over(source), window.data(), window.size());
                    EXPECT_EQ(walk_lines(r, rule, step == 1 ? 5 : 32768), expected(c, rule))
                        << c.what << ", pieces of " << step << ", window " << capacity;
                }
            }
        }
    }
}

// The tool's messages say which way the walk ended.
std::string outcome_of(const std::string& message) {
    for (const auto& [text, outcome] :
         {std::pair<const char*, const char*>{"ends before", "cut short"},
          {"is longer than 1023", "name too long"},
          {"data follow", "after end"}}) {
        if (message.find(text) != std::string::npos) return outcome;
    }
    return "unexpected error: " + message;
}

TEST(BlockReaderTest, TheToolReadsEveryCraftedStreamFromABlockFileTheSameWay) {
    for (const stream_case& c : entry_stream_cases()) {
        SCOPED_TRACE(c.what);
        scratch_folder dir;
        const bytes block = block_around(compress_frame(c.stream));
        write_file(dir / "block", block);
        std::FILE* file = open_file(dir / "block", "rb");
        ASSERT_NE(file, nullptr);
        std::string lines;
        try {
            check_block_ends(file, dir / "block", 0, block.size(), "block");
            block_stream s(file, dir / "block", 0, block.size());
            block_entry e;
            while (s.next_entry(e)) {
                const bool right = s.copy_entry_data(e, nullptr, {}) == e.checksum;
                lines += entry_line(e.name, e.size, right, e.problem != entry_names::problem::none);
            }
            s.expect_end();
            lines += "end";
        } catch (const tool_error& error) {
            lines += outcome_of(error.what());
        }
        std::fclose(file);
        EXPECT_EQ(lines, expected(c, block_reader::end_rule::exact));
        // A launcher built from the block carries an index only where its
        // reader would unpack the block to the end.
        const bool indexed = c.outcome == "end" && !c.launcher_refuses;
        bytes index = index_of_stream(c.stream);
        const bytes table = one_frame_table();
        index.insert(index.end(), table.begin(), table.end());
        EXPECT_EQ(index_of_block(dir / "block"), indexed ? index : bytes());
    }
}

}  // namespace
