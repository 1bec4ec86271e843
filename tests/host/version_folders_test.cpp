// The rules of versions side by side: which folders go, which templates can
// keep versions, and markers that are whole or not.
#include "format/version_folders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vf = version_folders;

namespace {

std::uint64_t version(const char* text) {
    std::uint64_t v = 0;
    EXPECT_TRUE(vf::parse_version(text, std::char_traits<char>::length(text), v)) << text;
    return v;
}

// The fates of siblings given in listing order, written back in that order
// as one letter each: r (kept, recent), n (kept, newer), x (removed).
std::string fates(const std::vector<const char*>& versions, const char* current, std::size_t keep) {
    std::vector<vf::sibling> s;
    for (const char* v : versions) s.push_back({version(v), s.size(), vf::verdict::remove});
    vf::judge_siblings(s.data(), s.size(), version(current), keep);
    std::string out(versions.size(), '?');
    for (const vf::sibling& one : s) {
        out[one.order] = one.fate == vf::verdict::keep_recent  ? 'r'
                         : one.fate == vf::verdict::keep_newer ? 'n'
                                                               : 'x';
    }
    return out;
}

TEST(VersionFoldersTest, WhichSiblingsGo) {
    const struct {
        std::vector<const char*> siblings;
        const char* current;
        std::size_t keep;
        const char* expected;
    } cases[] = {
        {{"1.0.0.0", "2.0.0.0", "3.0.0.0"}, "4.0.0.0", 2, "xxr"},
        {{"3.0.0.0", "1.0.0.0", "2.0.0.0"}, "4.0.0.0", 3, "rxr"},
        {{"1.0.0.0", "2.0.0.0"}, "4.0.0.0", 1, "xx"},
        // An older build started after newer ones removes nothing newer.
        {{"4.0.0.0", "3.0.0.0", "1.0.0.0"}, "2.0.0.0", 2, "rnx"},
        {{"4.0.0.0", "3.0.0.0"}, "2.0.0.0", 1, "nn"},
        // Numbers, not texts: 1.10 is newer than 1.9.
        {{"1.10.0.0", "1.9.0.0"}, "1.11.0.0", 2, "rx"},
        {{}, "1.0.0.0", 2, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fates(c.siblings, c.current, c.keep), c.expected)
            << c.current << " keep " << c.keep;
    }
    std::uint64_t v = 0;
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "1.2.3.65536", "1..2.3", "a.b.c.d", "1.2.3.4 "}) {
        EXPECT_FALSE(vf::parse_version(bad, std::char_traits<char>::length(bad), v)) << bad;
    }
}

TEST(VersionFoldersTest, TheLastLevelMustNameTheVersionAndStayTheSame) {
    using vf::last_level;
    const struct {
        const char16_t* text;
        last_level expected;
    } cases[] = {
        {u"{CACHE_DIR}\\{PRODUCT}\\{VERSION}", last_level::fit},
        {u"{CACHE_DIR}\\{PRODUCT}\\v{file_version}-{COMPANY}", last_level::fit},
        {u"C:/Apps/{PRODUCT_VERSION}", last_level::fit},
        {u"{CACHE_DIR}\\{VERSION}\\{PRODUCT}", last_level::no_version},
        {u"{CACHE_DIR}\\{PRODUCT}\\{VERSION}-{PID}", last_level::changes_per_start},
        {u"{CACHE_DIR}\\{VERSION}{RANDOM}", last_level::changes_per_start},
        {u"{TEMP}\\{PID}\\{VERSION}", last_level::fit},
        {u"C:\\x\\{VERSION}{CACHE_DIR}", last_level::gives_a_path},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vf::judge_last_level(c.text), c.expected)
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
    }
}

TEST(VersionFoldersTest, MarkersAreReadBackWholeOrNotAtAll) {
    const char16_t* const texts[vf::marker_texts] = {u"Orvelle", u"Quenmar Ltd", u"1.26.0.0",
                                                     u"1.26.0.0"};
    unsigned char bytes[vf::max_marker_size];
    const std::size_t size = vf::encode_marker(bytes, texts);
    vf::text_view read[vf::marker_texts];
    ASSERT_TRUE(vf::parse_marker(bytes, size, read));
    for (std::size_t t = 0; t < vf::marker_texts; ++t) EXPECT_TRUE(vf::text_is(read[t], texts[t]));
    EXPECT_FALSE(vf::text_is(read[vf::marker_product], u"Orvell"));
    EXPECT_FALSE(vf::text_is(read[vf::marker_product], u"Orvelles"));
    // Cut anywhere, one byte too many, another magic: no marker.
    for (std::size_t cut = 0; cut < size; ++cut) EXPECT_FALSE(vf::parse_marker(bytes, cut, read));
    EXPECT_FALSE(vf::parse_marker(bytes, size + 1, read));
    bytes[7] = '2';
    EXPECT_FALSE(vf::parse_marker(bytes, size, read));
    // A text longer than a folder name can be is never written.
    const std::u16string long_text(vf::max_marker_text_units + 1, u'x');
    const char16_t* const too_long[vf::marker_texts] = {long_text.c_str(), u"", u"", u""};
    EXPECT_EQ(vf::encode_marker(bytes, too_long), 0u);

    EXPECT_TRUE(vf::is_rubbish_name(u".fenwix-rubbish-0123456789abcdef"));
    for (const char16_t* other :
         {u".fenwix-rubbish-0123456789abcde", u".fenwix-rubbish-0123456789ABCDEF",
          u".fenwix-rubbish-0123456789abcdef0", u"fenwix-rubbish-0123456789abcdef"}) {
        EXPECT_FALSE(vf::is_rubbish_name(other));
    }
}

}  // namespace
