// Launchers built by the build command walk their payload under Wine: the
// header check, the decode failures, the entry walk to the terminator.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string header_message = "Error, couldn't find attached data header.\r\n";
const std::string decode_message = "Error, couldn't decode attached data.\r\n";

// Unpacks into a folder of the test's own, so tests never share a target.
run_result run_block(const bytes& block) {
    scratch_folder work;
    write_file(work / "block", block);
    build_launcher(work / "block", work / "launcher.exe",
                   {"--template", windows_path(work / "target")});
    return run_windows(work / "launcher.exe");
}

bytes stream_of(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(PayloadWalkTest, WrongHeaderGivesTheHeaderMessageOnStandardOutputOnly) {
    const bytes good_frame = compress_frame(terminator_bytes());
    bytes wrong = block_around(good_frame);
    wrong[2] = 'Y';
    for (const bytes& block : {wrong, bytes{}, bytes{'Q', 'J'}}) {
        const run_result r = run_block(block);
        EXPECT_EQ(r.out, header_message);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_code, 2u);
    }
}

// The stub without its values section has no block at all.
TEST(PayloadWalkTest, BareStubGivesTheHeaderMessage) {
    const run_result r = run_windows(launcher_stub());
    EXPECT_EQ(r.out, header_message);
    EXPECT_EQ(r.exit_code, 2u);
}

TEST(PayloadWalkTest, HeaderFollowedByBytesThatAreNoFrameGivesTheDecodeMessage) {
    bytes block = {'Q', 'J', 'X'};
    const bytes junk = to_bytes("this is not a zstandard frame at all");
    block.insert(block.end(), junk.begin(), junk.end());
    const run_result r = run_block(block);
    EXPECT_EQ(r.out, decode_message);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 2u);
}

TEST(PayloadWalkTest, ContentStoppingBetweenOrInsideEntriesGivesTheDecodeMessageWithoutHanging) {
    const bytes first = entry_bytes(u"app.exe", to_bytes("MZ..."));
    bytes cut_inside = entry_bytes(u"data.bin", bytes(5000, 'd'));
    cut_inside.resize(cut_inside.size() - 1000);
    bytes cut_in_name = entry_bytes(u"name.txt", {});
    cut_in_name.resize(5);
    for (const bytes& stream :
         {first, stream_of({first, cut_inside}), stream_of({first, cut_in_name})}) {
        const run_result r = run_block(block_around(compress_frame(stream)));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.out, decode_message);
        EXPECT_EQ(r.exit_code, 2u);
    }
}

TEST(PayloadWalkTest, NameReaching1024UnitsWithoutItsEndIsUndecodable) {
    const std::u16string long_name(1024, u'n');
    const run_result r = run_block(block_around(compress_frame(entry_bytes(long_name, {}))));
    EXPECT_EQ(r.out, decode_message);
    EXPECT_EQ(r.exit_code, 2u);
}

// A hand-made block cannot reach beyond the target folder, nor anything but
// a plain file: such a name is refused before anything is written for it.
TEST(PayloadWalkTest, UnsafeNamesAreUndecodableAndNothingLandsOutsideTheTarget) {
    const std::u16string unsafe[] = {
        u"..\\escaped.txt",
        u"sub\\..\\..\\x.txt",
        u"\\rooted.txt",
        u"C:\\drive.txt",
        u"\\\\server\\share\\unc.txt",
        u"a.txt:stream",
        u"sub/x.txt",
        u"sub\\\\x.txt",
        u"x\u0001.txt",
        u"NUL",
        u"lib\\CONOUT$",
        u"ABCD~AUF.TXT",  // a short name: another entry's file
        u"trailing\\",
        u".\\dot.txt",
    };
    for (const std::u16string& name : unsafe) {
        scratch_folder work;
        write_file(work / "deep/block", block_around(compress_frame(stream_of({
                                            entry_bytes(u"app.exe", probe_child_bytes()),
                                            entry_bytes(name, to_bytes("outside?")),
                                            terminator_bytes(),
                                        }))));
        build_launcher(work / "deep/block", work / "deep/launcher.exe",
                       {"--template", windows_path(work / "deep/target")});
        const run_result r = run_windows(work / "deep/launcher.exe");
        const std::string shown(name.begin(), name.end());  // for the failure message only
        EXPECT_EQ(r.out, decode_message) << shown;
        EXPECT_EQ(r.exit_code, 2u) << shown;
        std::vector<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(work.path)) {
            if (e.is_regular_file()) files.push_back(e.path().lexically_relative(work.path));
        }
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files,
                  (std::vector<std::string>{"deep/block", "deep/launcher.exe",
                                            "deep/target/.fenwix-lock", "deep/target/app.exe"}))
            << shown;
    }
}

TEST(PayloadWalkTest, WellFormedBlockWithNestedAndNonAsciiNamesWalksToTheEnd) {
    const bytes stream = stream_of({
        entry_bytes(u"app.exe", probe_child_bytes()),
        entry_bytes(u"lib\\deep\\er\\x.dll", bytes(200000, 'x')),
        entry_bytes(u"d\u00e9j\u00e0\\\u4e2d\u6587\\\U0001F600.txt", to_bytes("hi")),
        entry_bytes(u"empty.txt", {}),
        terminator_bytes(),
    });
    const run_result r = run_block(block_around(compress_frame(stream)));
    EXPECT_EQ(r.out.rfind("arg ", 0), 0u) << r.out;  // the first entry ran
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0u);
}

TEST(PayloadWalkTest, ContentAfterTheTerminatorIsIgnored) {
    const bytes stream = stream_of({entry_bytes(u"app.exe", probe_child_bytes()),
                                    terminator_bytes(), to_bytes("garbage that is never read")});
    const run_result r = run_block(block_around(compress_frame(stream)));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0u);
}

TEST(PayloadWalkTest, PackedExampleApplicationRunsFromItsUnpackedFolder) {
    scratch_folder work;
    build_launcher(example_app_dir(), work / "Orvelle.exe",
                   {"--template", windows_path(work / "target")});
    const run_result r = run_windows(work / "Orvelle.exe", {"a", "b c", "--exit", "300"});
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("[2] b c"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Library: greet.dll is loaded"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Data file: Hello from Orvelle's data file."), std::string::npos) << r.out;
    EXPECT_EQ(r.exit_code, 300u);
}

}  // namespace
