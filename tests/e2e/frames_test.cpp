// Blocks of many independent frames, unpacked by the launcher's decoding
// threads under Wine: entries cut anywhere by frame ends, an empty frame, a
// damaged frame in the middle, and a cold start killed half-way.
#include "tests/support/block_bytes.h"
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The stream cut at `cuts` (stream offsets, rising; two equal cuts make an
// empty frame), each piece its own frame.
bytes block_of_frames(const bytes& stream, const std::vector<std::size_t>& cuts) {
    bytes frames;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
        const bytes frame = compress_frame(bytes(stream.begin() + from, stream.begin() + to));
        frames.insert(frames.end(), frame.begin(), frame.end());
        from = to;
    }
    return block_around(frames);
}

// A launcher whose index, frame table included, is read from its block.
std::string launcher_of(const scratch_folder& work, const bytes& block, const std::string& target) {
    write_file(work / "block", block);
    const std::string exe = work / "launcher.exe";
    build_launcher(work / "block", exe, {"--template", windows_path(target), "--index", "decoded"});
    return exe;
}

TEST(FramesTest, EntriesCutByFrameEndsUnpackAndADamagedMiddleFramePublishesNothingOfIt) {
    const bytes big =
        random_bytes(300000, 7);  // stored, not compressed: a flip goes unseen by the decoder
    const std::vector<app_file> files = {
        {"app.exe", probe_child_bytes()}, {"big.dat", big}, {"a\\small.txt", to_bytes("small")}};
    const bytes stream = stream_of_files(files);
    const std::size_t small_entry = stream.size() - 2 - (2 * 11 + 14 + 5);
    const std::size_t big_data = small_entry - big.size();
    // A cut in app.exe's header, big.dat across three frames with an
    // empty one among them, a cut in small.txt's header.
    const std::vector<std::size_t> cuts = {5,
                                           big_data + 1000,
                                           big_data + 100000,
                                           big_data + 100000,
                                           big_data + 200000,
                                           small_entry + 10};
    {
        scratch_folder work;
        const std::string target = work / "target";
        const run_result run =
            run_windows(launcher_of(work, block_of_frames(stream, cuts), target));
        EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
        EXPECT_EQ(files_differing(target, files), "");
    }
    // One byte of the frame that lies wholly inside big.dat, changed.
    bytes damaged = block_of_frames(stream, cuts);
    const std::size_t third_frame =
        payload_format::magic_size +
        compress_frame(bytes(stream.begin(), stream.begin() + 5)).size() +
        compress_frame(bytes(stream.begin() + 5, stream.begin() + cuts[1])).size();
    damaged[third_frame + 100] ^= 0x20;
    scratch_folder work;
    const std::string target = work / "target";
    const run_result run = run_windows(launcher_of(work, damaged, target));
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_NE(run.out.find("Error, couldn't decode attached data."), std::string::npos) << run.out;
    EXPECT_FALSE(fs::exists(target + "/big.dat"));
}

TEST(FramesTest, AColdStartKilledHalfWayIsRepairedByTheNext) {
    std::vector<app_file> files = {{"app.exe", probe_child_bytes()}};
    for (int i = 0; i < 300; ++i) {
        files.push_back({"d" + std::to_string(i % 7) + "\\f" + std::to_string(i) + ".bin",
                         random_bytes(60000 + i, static_cast<unsigned>(i))});
    }
    const bytes stream = stream_of_files(files);
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1000000; at < stream.size(); at += 1000000) cuts.push_back(at);
    scratch_folder work;
    const std::string target = work / "target";
    const std::string exe = launcher_of(work, block_of_frames(stream, cuts), target);
    const int group = start_background(exe, {});
    wait_until([&] { return fs::exists(target + "/d3/f150.bin"); }, 60);
    stop_background(group);
    const run_result run = run_windows(exe);
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_EQ(files_differing(target, files), "");
}

}  // namespace
