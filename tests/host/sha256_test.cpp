// The SHA-256 of `fenwix sbom` against the standard's own examples, fed in
// pieces that cross the 64-byte blocks every way; the bill's time and JSON
// strings at their edges. The end-to-end test compares whole files with
// Python's hashlib.
#include "tools/host/sha256.h"
#include "tools/host/text.h"
#include "tools/inspect/sbom.h"

#include <gtest/gtest.h>

#include <string>

TEST(Sha256Test, KnownDigestsWhateverThePiecesFedIn) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the last block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64},
                                        std::size_t{65}, std::size_t{100000}}) {
            sha256_state s;
            sha256_start(s);
            for (std::size_t at = 0; at < c.message.size(); at += piece) {
                const std::size_t n = c.message.size() - at < piece ? c.message.size() - at : piece;
                sha256_feed(s, reinterpret_cast<const unsigned char*>(c.message.data()) + at, n);
            }
            EXPECT_EQ(sha256_hex(sha256_finish(s)), c.digest)
                << c.message.size() << " bytes in pieces of " << piece;
        }
    }
}

TEST(SbomTest, SourceDateEpochAsUtcTime) {
    EXPECT_EQ(utc_timestamp("0"), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utc_timestamp("951782400"), "2000-02-29T00:00:00Z");   // a leap day of a 400th year
    EXPECT_EQ(utc_timestamp("4107542399"), "2100-02-28T23:59:59Z");  // 2100 has no leap day
    EXPECT_EQ(utc_timestamp("4107542400"), "2100-03-01T00:00:00Z");
    EXPECT_EQ(utc_timestamp("253402300799"), "9999-12-31T23:59:59Z");
    for (const char* bad : {"", "-1", "1.5", "12a", "253402300800", "99999999999999999999999"}) {
        EXPECT_THROW(utc_timestamp(bad), tool_error) << bad;
    }
}

TEST(SbomTest, JsonStringsEscapeWhatJsonCannotHoldAsItIs) {
    EXPECT_EQ(json_string(u"bin\\a \"b\".dll"), "\"bin\\\\a \\\"b\\\".dll\"");
    EXPECT_EQ(json_string(u"\x01\x1f\x7f"), "\"\\u0001\\u001f\x7f\"");
    EXPECT_EQ(json_string(u"é\U0001F600"), "\"\xc3\xa9\xf0\x9f\x98\x80\"");
    // Lone surrogates have no UTF-8 form; a reversed pair is two of them.
    EXPECT_EQ(json_string(u"a\xd800"
                          u"b\xdc00\xdc00\xd800"),
              "\"a\\ud800b\\udc00\\udc00\\ud800\"");
}
