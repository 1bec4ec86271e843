// Bounded copies at capacity N-1, N and N+1, and the backslash search.
#include "launcher/base/fixed_buffer.h"
#include "launcher/base/path_forms.h"

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

// Every file call takes the extended form, which has no 260-character
// limit; messages and the program's start take the ordinary one back.
TEST(PathFormsTest, ExtendedAndOrdinaryFormsAndRoots) {
    const struct {
        const wchar_t* ordinary;
        const wchar_t* extended;
        std::size_t root;  // of either form, as the extended form counts it
    } paths[] = {
        {L"C:\\Users\\me\\Orvelle", L"\\\\?\\C:\\Users\\me\\Orvelle", 6},
        {L"C:", L"\\\\?\\C:", 6},
        {L"\\\\server\\share\\apps", L"\\\\?\\UNC\\server\\share\\apps", 20},
        {L"\\\\server\\share", L"\\\\?\\UNC\\server\\share", 20},
    };
    for (const auto& p : paths) {
        wchar_t out[64];
        ASSERT_TRUE(to_extended_form(p.ordinary, out, 64)) << p.ordinary;
        EXPECT_STREQ(out, p.extended);
        EXPECT_EQ(root_length(out), p.root) << out;
        ASSERT_TRUE(to_ordinary_form(p.extended, out, 64));
        EXPECT_STREQ(out, p.ordinary);
        EXPECT_FALSE(to_extended_form(p.extended, out, 64)) << "made twice";
    }
    wchar_t small[8];
    EXPECT_FALSE(to_extended_form(L"C:\\abcd", small, 8));  // 4 + 7 units do not fit
    EXPECT_EQ(root_length(L"C:\\x"), 2u);
    EXPECT_EQ(root_length(L"\\\\server"), 0u);  // a server without a share
    EXPECT_EQ(root_length(L"x\\y"), 0u);
}

}  // namespace
