// The build command: checks on the values a launcher carries, and refusals
// that leave nothing behind.
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

// The stub the tool carries is checked like any other: a cut or damaged
// one must never turn into a broken executable.
TEST(BuildCommandTest, DamagedStubIsABuildError) {
    scratch_folder work;
    write_file(work / "block", "QJX");
    const std::string stub = read_file(launcher_stub());
    write_file(work / "cut.exe", stub.substr(0, stub.size() - 512));
    std::string flipped = stub;
    flipped[stub.size() / 2] = static_cast<char>(flipped[stub.size() / 2] ^ 0x20);
    write_file(work / "flipped.exe", flipped);
    for (const char* name : {"cut.exe", "flipped.exe"}) {
        std::string err;
        EXPECT_NE(run_host({fenwix_tool(), "build", "--block", work / "block", "-o",
                            work / "out.exe", "--stub", work / name},
                           &err),
                  0);
        EXPECT_NE(err.find("stub"), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(work / "out.exe"));
    }
}

// A long pack shows where it is on a terminal, and nowhere else: not in a
// log, and not with --quiet.
TEST(BuildCommandTest, ProgressLineOnlyOnATerminal) {
    scratch_folder work;
    write_file(work / "app/main.exe", "MZ");
    bytes noise(16 << 20);
    std::uint32_t state = 1;
    for (unsigned char& b : noise)
        b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 24);
    write_file(work / "app/noise.bin", noise);  // several seconds at level 19
    for (const bool quiet : {false, true}) {
        std::vector<std::string> args = {
            "/usr/bin/python3", source_file("tests/host/on_terminal.py"),
            fenwix_tool(),      "pack",
            work / "app",       "-o",
            work / "block"};
        if (quiet) args.push_back("--quiet");
        std::string shown;
        ASSERT_EQ(run_host(args, nullptr, &shown), 0);
        if (quiet) {
            EXPECT_EQ(shown.find("packing"), std::string::npos) << shown;
        } else {
            EXPECT_NE(shown.find("packing  16.0 MiB of 16.0 MiB"), std::string::npos) << shown;
        }
    }
    std::string err;
    ASSERT_EQ(run_host({fenwix_tool(), "pack", work / "app", "-o", work / "block"}, &err), 0);
    EXPECT_EQ(err, "");
}

}  // namespace
