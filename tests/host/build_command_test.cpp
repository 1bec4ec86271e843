// The build command: checks on the values a launcher carries, and the
// generated values it links.
#include "tests/support/host_support.h"
#include "tools/build_command.h"
#include "tools/packer.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

TEST(VersionTest, FourNumbersUpTo65535) {
    unsigned p[4];
    ASSERT_TRUE(parse_version("1.26.0.0", p));
    EXPECT_EQ(p[0], 1u);
    EXPECT_EQ(p[1], 26u);
    ASSERT_TRUE(parse_version("65535.0.65535.7", p));
    EXPECT_EQ(p[2], 65535u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.65536", "1..2.3", "a.b.c.d",
                            "1.2.3.4 ", "-1.2.3.4", "1.2.3.0000001"}) {
        EXPECT_FALSE(parse_version(bad, p)) << bad;
    }
}

TEST(BuildValuesTest, RefusesEmptyOrOverlongTemplateAndBadVersion) {
    build_options o;
    EXPECT_NO_THROW(check_build_values(o));
    o.extraction_template = "";
    EXPECT_THROW(check_build_values(o), tool_error);
    o.extraction_template = std::string(4096, 'x');
    EXPECT_THROW(check_build_values(o), tool_error);
    o.extraction_template = std::string(4095, 'x');
    EXPECT_NO_THROW(check_build_values(o));
    o.version = "1.2.3";
    EXPECT_THROW(check_build_values(o), tool_error);
}

TEST(BuildValuesTest, StringsAreEmittedAsUtf16Units) {
    build_options o;
    o.product = "Or\xc3\xa9";
    const std::string s = values_assembly(o, "/x/block.bin");
    EXPECT_NE(s.find("fenwix_product_name:\n\t.short 0x4f,0x72,0xe9,0"), std::string::npos) << s;
    EXPECT_NE(s.find(".incbin \"/x/block.bin\""), std::string::npos);
}

TEST(BuildCommandTest, RefusesBadArgumentsAndWritesNothing) {
    scratch_folder work;
    write_file(work / "block", "QJX");
    const std::vector<std::vector<std::string>> bad = {
        {"build", "-o", work / "out.exe"},
        {"build", "--block", work / "block", work / "app", "-o", work / "out.exe"},
        {"build", "--block", work / "missing", "-o", work / "out.exe"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--version", "1.2.3.70000"},
        {"build", "--block", work / "block", "-o", work / "no/such/folder/out.exe"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--template", ""},
    };
    for (std::vector<std::string> args : bad) {
        args.insert(args.begin(), fenwix_tool());
        std::string err;
        EXPECT_NE(run_host(args, &err), 0) << args[2];
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(work.path), fs::directory_iterator()), 1);
}

}  // namespace
