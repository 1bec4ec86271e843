// A launcher with an index checks the files on disk and decodes its block
// only when one of them is not right. A copy whose frame is broken shows
// which way a start went: it runs when nothing is decoded and fails with the
// decode message when something is.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string decode_message = "Error, couldn't decode attached data.\r\n";

// The launcher's bytes with the zstd frame's magic number broken: any
// attempt to decode fails at once.
void break_frame(const std::string& exe, const std::string& out) {
    bytes image = to_bytes(read_file(exe));
    // The launcher's code holds the section's magic too; the section comes last.
    const std::string magic = "FWXVALS1";
    const auto at = std::find_end(image.begin(), image.end(), magic.begin(), magic.end());
    ASSERT_NE(at, image.end());
    std::uint64_t block_offset = 0;
    for (int i = 7; i >= 0; --i) block_offset = (block_offset << 8) | *(at + 8 + i);
    const std::size_t frame = static_cast<std::size_t>(at - image.begin()) + block_offset + 3;
    ASSERT_EQ(image.at(frame), 0x28);
    image[frame] ^= 0xFF;
    write_file(out, image);
}

TEST(IndexTest, AllFilesRightDecodesNothingAnyFileNotRightDecodesAndRepairs) {
    scratch_folder work;
    const std::string app = work / "app";
    const std::string target = work / "target";
    bytes big(200000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
    write_file(app + "/app.exe", probe_child_bytes());
    write_file(app + "/lib/big.dll", big);
    write_file(app + "/notes.txt", "twelve bytes");
    const std::vector<std::string> values = {"--template", windows_path(target)};
    std::vector<std::string> indexed = values;
    indexed.insert(indexed.end(), {"--index", "auto"});
    build_launcher(app, work / "good.exe", indexed);
    break_frame(work / "good.exe", work / "broken.exe");
    std::vector<std::string> unindexed = values;
    unindexed.insert(unindexed.end(), {"--index", "none"});
    build_launcher(app, work / "plain.exe", unindexed);
    break_frame(work / "plain.exe", work / "plain-broken.exe");

    ASSERT_EQ(run_windows(work / "good.exe").exit_code, 0u);
    const auto expect_folder_right = [&]() {
        for (const char* name : {"app.exe", "lib/big.dll", "notes.txt"}) {
            EXPECT_EQ(read_file(target + "/" + name), read_file(app + "/" + name)) << name;
        }
    };
    expect_folder_right();

    // Every file right: the broken copy starts its program, the same copy
    // without an index decodes as always and fails.
    const run_result warm = run_windows(work / "broken.exe");
    EXPECT_EQ(warm.exit_code, 0u);
    EXPECT_EQ(warm.err, "");
    EXPECT_EQ(run_windows(work / "plain-broken.exe").out, decode_message);

    // A file the index does not know is none of its business.
    write_file(target + "/extra.txt", "mine");
    EXPECT_EQ(run_windows(work / "broken.exe").exit_code, 0u);
    EXPECT_EQ(read_file(target + "/extra.txt"), "mine");

    const struct {
        const char* what;
        void (*change)(const std::string& target);
    } changes[] = {
        {"missing", [](const std::string& t) { fs::remove(t + "/lib/big.dll"); }},
        {"longer",
         [](const std::string& t) { write_file(t + "/notes.txt", "twelve bytes and more"); }},
        {"same size, other bytes",
         [](const std::string& t) {
             std::string exe = read_file(t + "/app.exe");
             exe[exe.size() / 2] ^= 0x55;
             write_file(t + "/app.exe", exe);
         }},
    };
    for (const auto& c : changes) {
        c.change(target);
        const run_result decoding = run_windows(work / "broken.exe");
        EXPECT_EQ(decoding.out, decode_message) << c.what;
        EXPECT_EQ(run_windows(work / "good.exe").exit_code, 0u) << c.what;
        expect_folder_right();
    }
}

}  // namespace
