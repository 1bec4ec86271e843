// Launchers unpack their payload under Wine: every file byte for byte, a
// second run that writes nothing, repairs, locked files, and where the
// template puts the folder.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::vector<app_file> sample_files() {
    bytes big(300000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 31 + (i >> 9));
    return {
        {"app.exe", probe_child_bytes()},
        {"lib\\deep\\er\\big.dll", big},
        {"d\xc3\xa9j\xc3\xa0\\\xe4\xb8\xad\xe6\x96\x87.txt", to_bytes("non-ASCII")},
        {"empty.txt", {}},
        {"lib\\config.ini", to_bytes("[x]\r\ny=1\r\n")},
    };
}

bytes block_of_files(const std::vector<app_file>& files, bool cut_in_last = false) {
    bytes stream = stream_of_files(files);
    // Cut: the terminator goes, and half of the last file's data.
    if (cut_in_last) stream.resize(stream.size() - 2 - files.back().data.size() / 2);
    return block_around(compress_frame(stream));
}

// A launcher that unpacks into work/target.
struct launcher {
    scratch_folder work;
    std::string exe = work / "launcher.exe";
    std::string target = work / "target";
    explicit launcher(const bytes& block) {
        write_file(work / "block", block);
        build_launcher(work / "block", exe, {"--template", windows_path(target)});
    }
    run_result run() const { return run_windows(exe); }
};

struct file_times {
    timespec modified;
    timespec changed;  // any write, truncation or attribute change moves it
    bool operator==(const file_times& o) const {
        return modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

std::map<std::string, file_times> times_below(const std::string& folder) {
    std::map<std::string, file_times> out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        struct stat st;
        stat(e.path().c_str(), &st);
        out[e.path().string()] = {st.st_mtim, st.st_ctim};
    }
    return out;
}

void expect_files_match(const std::string& target, const std::vector<app_file>& files) {
    EXPECT_EQ(files_differing(target, files), "");
}

TEST(ExtractionTest, FirstRunUnpacksEveryFileSecondRunWritesNothing) {
    const auto files = sample_files();
    launcher l(block_of_files(files));
    const run_result first = l.run();
    EXPECT_EQ(first.err, "");
    ASSERT_EQ(first.exit_code, 0u);
    expect_files_match(l.target, files);

    const auto before = times_below(l.target);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const run_result second = l.run();
    EXPECT_EQ(second.exit_code, 0u);
    const auto after = times_below(l.target);
    ASSERT_EQ(before.size(), after.size());
    for (const auto& [path, times] : before) EXPECT_TRUE(after.at(path) == times) << path;
}

// The packer's frames are independent and cut anywhere, even inside a name
// or a size; the launcher reads them back to back as one stream.
TEST(ExtractionTest, ABlockOfManyFramesCutAnywhereUnpacksEveryFile) {
    const auto files = sample_files();
    const bytes stream = stream_of_files(files);
    bytes frames;
    for (std::size_t at = 0; at < stream.size(); at += 4099) {
        const bytes piece(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 4099));
        const bytes frame = compress_frame(piece);
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    launcher l(block_around(frames));
    const run_result first = l.run();
    EXPECT_EQ(first.err, "");
    ASSERT_EQ(first.exit_code, 0u);
    expect_files_match(l.target, files);
}

TEST(ExtractionTest, DifferingMissingAndLongerFilesAreReplacedCompletely) {
    const auto files = sample_files();
    launcher l(block_of_files(files));
    ASSERT_EQ(l.run().exit_code, 0u);
    write_file(l.target + "/lib/config.ini", std::string(5000, 'L'));  // longer and different
    write_file(l.target + "/app.exe", "MZ, but no program any more");  // different
    fs::remove(l.target + "/lib/deep/er/big.dll");
    fs::remove(l.target + "/empty.txt");
    ASSERT_EQ(l.run().exit_code, 0u);
    expect_files_match(l.target, files);
}

TEST(ExtractionTest, DifferingFileHeldOpenStopsTheLaunchMatchingOneDoesNot) {
    const auto files = sample_files();
    launcher l(block_of_files(files));
    ASSERT_EQ(l.run().exit_code, 0u);

    const std::string marker = l.work / "held";
    const int holder = start_background(
        hold_file_program(), {windows_path(l.target + "/app.exe"), windows_path(marker)});
    for (int i = 0; i < 3000 && !fs::exists(marker); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(marker)) << "the holder did not start";

    const run_result unchanged = l.run();  // same content: only read, never opened for writing
    EXPECT_EQ(unchanged.exit_code, 0u);
    EXPECT_EQ(unchanged.err, "");

    // Change the content in place (the holder shares reading only, so write
    // through a Linux handle, which Wine's sharing rules do not see).
    write_file(l.target + "/app.exe", "MZ changed");
    const run_result blocked = l.run();
    stop_background(holder);
    EXPECT_EQ(blocked.out, "");
    EXPECT_EQ(blocked.err, "Error, failed to open '" + windows_path(l.target) +
                               "\\app.exe' for writing." + system_error_suffix(32) + "\r\n");
    EXPECT_EQ(blocked.exit_code, 2u);
}

TEST(ExtractionTest, DecodeFailureInsideAnEntryLeavesItsPartAndALaterRunRepairs) {
    auto files = sample_files();
    files.push_back({"zlast.bin", bytes(200000, 'z')});
    scratch_folder shared;
    const std::string target = shared / "target";
    write_file(shared / "cut", block_of_files(files, true));
    write_file(shared / "whole", block_of_files(files));
    build_launcher(shared / "cut", shared / "cut.exe", {"--template", windows_path(target)});
    build_launcher(shared / "whole", shared / "whole.exe", {"--template", windows_path(target)});

    const run_result cut = run_windows(shared / "cut.exe");
    EXPECT_EQ(cut.out, "Error, couldn't decode attached data.\r\n");
    EXPECT_EQ(cut.exit_code, 2u);
    const auto partial = fs::file_size(target + "/zlast.bin");
    EXPECT_GT(partial, 0u);
    EXPECT_LT(partial, 200000u);

    EXPECT_EQ(run_windows(shared / "whole.exe").exit_code, 0u);
    expect_files_match(target, files);
}

// A stored block carries its bytes as they are, so one flipped byte decodes
// without a word from the decoder, and the frame here has no checksum
// either: only the entry's own checksum can catch it.
TEST(ExtractionTest, FlippedByteInAStoredBlockStartsNothingAndRecordsNothing) {
    bytes noise(100000);
    std::uint32_t x = 12345;
    for (unsigned char& b : noise)
        b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    bytes frame = compress_frame(
        stream_of_files({{"app.exe", probe_child_bytes()}, {"noise.bin", noise}}), 1);
    const auto at =
        std::search(frame.begin(), frame.end(), noise.begin() + 50000, noise.begin() + 50016);
    ASSERT_NE(at, frame.end()) << "the noise was not stored as it is";
    *at ^= 0x01;
    const launcher l(block_around(frame));
    for (int start = 0; start < 2; ++start) {
        const run_result r = l.run();
        EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n");
        EXPECT_EQ(r.exit_code, 2u);
        EXPECT_FALSE(fs::exists(l.target + "/noise.bin"));
    }
}

TEST(ExtractionTest, DefaultTemplateUnpacksBelowLocalAppData) {
    const std::string product = "fenwix-e2e-" + std::to_string(getpid());
    scratch_folder work;
    write_file(work / "block", block_of_files(sample_files()));
    build_launcher(work / "block", work / "l.exe",
                   {"--template", "{CACHE_DIR}\\" + product, "--product", product});
    ASSERT_EQ(run_windows(work / "l.exe").exit_code, 0u);
    const std::string folder = prefix_folder("users/*/AppData/Local/" + product);
    ASSERT_FALSE(folder.empty());
    expect_files_match(folder, sample_files());
    fs::remove_all(folder);
}

TEST(ExtractionTest, TemplateWithTempProductAndVersionUnpacksThere) {
    const std::string product = "fenwix-tmp-" + std::to_string(getpid());
    scratch_folder work;
    write_file(work / "block", block_of_files(sample_files()));
    build_launcher(work / "block", work / "l.exe",
                   {"--template", "{TEMP}\\{PRODUCT}-{VERSION}", "--product", product, "--version",
                    "2.3.4.5"});
    ASSERT_EQ(run_windows(work / "l.exe").exit_code, 0u);
    // Wine's TEMP is C:\users\<user>\Temp.
    const std::string folder = prefix_folder("users/*/Temp/" + product + "-2.3.4.5");
    ASSERT_FALSE(folder.empty());
    expect_files_match(folder, sample_files());
    fs::remove_all(folder);
}

// Templates the builder refuses, in launchers made by hand (or by an older
// builder): the template's text in a launcher written over with another of
// the same length.
void write_template_by_hand(const std::string& exe, const std::string& from,
                            const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    const auto utf16le = [](const std::string& ascii) {
        std::string out;
        for (char c : ascii) out += {c, '\0'};
        return out;
    };
    std::string image = read_file(exe);
    const std::size_t at = image.find(utf16le(from));
    ASSERT_NE(at, std::string::npos);
    image.replace(at, 2 * from.size(), utf16le(to));
    write_file(exe, image);
}

// A template that cannot be expanded, or that gives anything but a full
// folder, ends the launcher before anything is written: "{CACHE_DIR\Orvelle"
// would have unpacked into the root of the current drive.
TEST(ExtractionTest, TemplateThatGivesNoFullFolderEndsAbnormallyAfterItsMessage) {
    for (const std::string bad : {"{FOO}\\x", "{CACHE_DIR\\Orvelle", "Orvelle", "{TEMP}\\..\\..",
                                  "C:\\.", "{PRODUCT}\\x"}) {
        scratch_folder work;
        write_file(work / "block", block_of_files(sample_files()));
        const std::string stand_in = "C:\\" + std::string(bad.size() - 3, 'p');
        build_launcher(work / "block", work / "l.exe", {"--template", stand_in});
        write_template_by_hand(work / "l.exe", stand_in, bad);
        run_options in_work;
        in_work.cwd = work.path;
        const run_result r = run_windows(work / "l.exe", {}, in_work);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '" + bad + "'.\r\n");
        // Wine offers the fail-fast service, as current Windows does.
        EXPECT_EQ(r.exit_code, 0xC0000409u) << bad;
        EXPECT_EQ(std::distance(fs::directory_iterator(work.path), fs::directory_iterator()), 2)
            << bad;
    }
}

// The line keeps every character of the path (UTF-8 in a file or a pipe).
TEST(ExtractionTest, PathWithCharactersAboveLatin1GivesAWholeMessage) {
    scratch_folder work;
    write_file(work / "block", block_of_files(sample_files()));
    write_file(work / "file.txt", "a file where a folder would have to be");
    build_launcher(work / "block", work / "l.exe",
                   {"--template", windows_path(work / "file.txt") + "\\\xe4\xb8\xad\xc3\xa9"});
    const run_result r = run_windows(work / "l.exe");
    // The folder cannot be made, so neither can its lock: nothing starts.
    EXPECT_EQ(r.err, "Error, failed to open '" + windows_path(work / "file.txt") +
                         "\\\xe4\xb8\xad\xc3\xa9\\.fenwix-lock' for writing." +
                         system_error_suffix(3) + "\r\n");
    EXPECT_EQ(r.exit_code, 2u);
}

}  // namespace
