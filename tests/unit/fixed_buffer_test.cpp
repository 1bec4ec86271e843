// Bounded copies at capacity N-1, N and N+1, and the backslash search.
#include "launcher/fixed_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FixedBufferTest, CopyFitsUpToCapacityMinusOne) {
    wchar_t buf[5] = L"old";
    EXPECT_TRUE(wide_copy(buf, 5, L"abc"));  // N-2 text units: fits
    EXPECT_STREQ(buf, L"abc");
    EXPECT_TRUE(wide_copy(buf, 5, L"abcd"));  // text + terminator == capacity
    EXPECT_STREQ(buf, L"abcd");
    EXPECT_FALSE(wide_copy(buf, 5, L"abcde"));  // one over: nothing changes
    EXPECT_STREQ(buf, L"abcd");
}

TEST(FixedBufferTest, AppendFitsUpToCapacityAndLeavesTheBufferWholeOtherwise) {
    wchar_t buf[6] = L"ab";
    EXPECT_TRUE(wide_append(buf, 6, L"cd"));
    EXPECT_STREQ(buf, L"abcd");
    EXPECT_FALSE(wide_append(buf, 6, L"ef"));
    EXPECT_STREQ(buf, L"abcd");
    EXPECT_TRUE(wide_append(buf, 6, L"e"));
    EXPECT_STREQ(buf, L"abcde");
    EXPECT_FALSE(wide_append(buf, 6, L"f"));
    EXPECT_TRUE(wide_append(buf, 6, L""));
    EXPECT_STREQ(buf, L"abcde");
}

TEST(FixedBufferTest, AppendUnitsTakesExactlyTheCount) {
    wchar_t buf[8] = L"x";
    EXPECT_TRUE(wide_append_units(buf, 8, L"abcdef", 3));
    EXPECT_STREQ(buf, L"xabc");
}

TEST(FixedBufferTest, UnterminatedBufferAcceptsNothing) {
    wchar_t buf[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(wide_length_within(buf, 3), 3u);
    EXPECT_FALSE(wide_append(buf, 3, L""));
}

TEST(FixedBufferDeathTest, OverflowEndsTheProcessAbnormally) {
    wchar_t buf[4] = L"";
    EXPECT_DEATH(wide_copy_or_abort(buf, 4, L"abcd"), "");
    EXPECT_DEATH(
        {
            wide_copy_or_abort(buf, 4, L"ab");
            wide_append_or_abort(buf, 4, L"cd");
        },
        "");
}

TEST(FindLastBackslashTest, FindsTheLastOneAndCanIgnoreTheFirstUnit) {
    wchar_t path[] = L"C:\\a\\b.exe";
    EXPECT_EQ(find_last_backslash(path, false), path + 4);
    wchar_t none[] = L"tool.exe";
    EXPECT_EQ(find_last_backslash(none, false), nullptr);
    wchar_t leading[] = L"\\x";
    EXPECT_EQ(find_last_backslash(leading, false), leading);
    EXPECT_EQ(find_last_backslash(leading, true), nullptr);
    wchar_t empty[] = L"";
    EXPECT_EQ(find_last_backslash(empty, true), nullptr);
}

}  // namespace
