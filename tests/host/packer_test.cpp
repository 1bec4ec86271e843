// The packer: block layout, entry order, refusals, streaming of large files.
#include "format/block.h"
#include "format/index.h"
#include "tests/support/host_support.h"
#include "tools/pack/exclude.h"
#include "tools/pack/packer.h"

#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <zstd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bytes pack(const std::string& app, const std::string& main = "") {
    scratch_folder out;
    write_block(list_application_folder(app, main), out / "block", 3);
    return to_bytes(read_file(out / "block"));
}

std::vector<std::u16string> names_of(const std::string& app, const std::string& main = "") {
    std::vector<std::u16string> names;
    for (const folder_entry& e : list_application_folder(app, main)) names.push_back(e.name);
    return names;
}

TEST(PackerTest, WorkedExampleGivesExactlyTheDocumentedEntryStream) {
    scratch_folder app;
    write_file(app / "a", "abc");
    write_block({{u"a", app / "a"}}, app / "block", 3);  // "abc" is no program for the folder walk
    const bytes block = to_bytes(read_file(app / "block"));
    const bytes expected = {0x61, 0x00, 0x00, 0x00,                          // "a", 0 unit
                            0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // size 3
                            0xC2, 0x41, 0x24, 0x35,                          // checksum
                            0x61, 0x62, 0x63,                                // data
                            0x00, 0x00};                                     // terminator
    EXPECT_EQ(decompress_block_frame(block), expected);
}

TEST(PackerTest, BlockLayoutAndFrameParameters) {
    scratch_folder app;
    write_file(app / "main.exe", fake_windows_program());
    const bytes block = pack(app.path);
    ASSERT_GT(block.size(), 15u);
    EXPECT_EQ(std::string(block.begin(), block.begin() + 3), "QJX");
    const std::size_t L = block.size();
    EXPECT_EQ(payload_format::get_u64_le(&block[L - 8]), L - 8);
    EXPECT_EQ(payload_format::get_u32_le(&block[L - 12]), 0u);

    ZSTD_frameHeader header;
    ASSERT_EQ(ZSTD_getFrameHeader(&header, block.data() + 3, L - 3), 0u);
    EXPECT_EQ(header.frameType, ZSTD_frame);
    // The window fits the frame, and never exceeds what a decoding thread holds.
    EXPECT_LE(header.windowSize, 1ull << payload_format::packed_window_log);
    EXPECT_EQ(header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_EQ(header.checksumFlag, 1u);
    EXPECT_EQ(header.dictID, 0u);
    // The frame ends exactly where the zero field begins.
    EXPECT_EQ(ZSTD_findFrameCompressedSize(block.data() + 3, L - 3), L - 15);
}

TEST(PackerTest, IndexHoldsEachEntrysHeaderInBlockOrderAndAnyFlawMakesItBad) {
    scratch_folder app;
    write_file(app / "main.exe", fake_windows_program());
    write_file(app / "lib/x.dll", std::string(70000, 'x'));
    write_file(app / "LIB/y.dll", "y");  // folders that differ only in case merge on Windows
    write_file(app / "empty", "");
    bytes block;
    bytes index;
    write_block_to(
        list_application_folder(app.path, ""), 3,
        [&](const void* d, std::size_t n) {
            block.insert(block.end(), static_cast<const unsigned char*>(d),
                         static_cast<const unsigned char*>(d) + n);
        },
        &index);
    // The entry stream without the data, then the one frame, is the index.
    bytes expected = index_of_stream(decompress_block_frame(block));
    const bytes table = one_frame_table();
    expected.insert(expected.end(), table.begin(), table.end());
    EXPECT_EQ(index, expected);
    EXPECT_EQ(index.size(), index_length(list_application_folder(app.path, "")));
    EXPECT_EQ(payload_index::count_entries(index.data(), index.size()), 4);

    bytes cut(index.begin(), index.end() - 1);
    bytes trailing = index;
    trailing.insert(trailing.end(), {0, 0});
    bytes no_frame = index;  // a table whose count is 0
    no_frame.resize(no_frame.size() - payload_index::frame_record_size);
    no_frame[no_frame.size() - payload_index::frame_count_size] = 0;
    bytes unsafe = index;  // "main.exe" becomes "..\\n.exe"
    unsafe[0] = unsafe[2] = '.';
    unsafe[4] = '\\';
    for (const bytes* bad : {&cut, &trailing, &unsafe, &no_frame}) {
        EXPECT_EQ(payload_index::count_entries(bad->data(), bad->size()), -1);
    }
    EXPECT_EQ(payload_index::count_entries(nullptr, 0), -1);
}

TEST(PackerTest, EmptyFilesStoreChecksumOne) {
    scratch_folder app;
    write_file(app / "p.exe", fake_windows_program());
    write_file(app / "empty.txt", "");
    const bytes stream = decompress_block_frame(pack(app.path));
    const bytes empty_entry = entry_bytes(u"empty.txt", {});
    EXPECT_EQ(payload_format::get_u32_le(&empty_entry[empty_entry.size() - 4]), 1u);
    EXPECT_NE(std::search(stream.begin(), stream.end(), empty_entry.begin(), empty_entry.end()),
              stream.end());
}

TEST(PackerTest, MainProgramFirstThenEveryOtherFileInAFixedOrder) {
    scratch_folder app;
    write_file(app / "zeta.txt", "z");
    write_file(app / "Tool.EXE", fake_windows_program());
    write_file(app / "lib/b.dll", "b");
    write_file(app / "lib/a.dll", "a");
    write_file(app / "data/sub/x.bin", "x");
    write_file(app / "bin/other.exe", fake_windows_program());  // not at the top: not a candidate
    const std::vector<std::u16string> expected = {u"Tool.EXE",         u"bin\\other.exe",
                                                  u"data\\sub\\x.bin", u"lib\\a.dll",
                                                  u"lib\\b.dll",       u"zeta.txt"};
    EXPECT_EQ(names_of(app.path), expected);
    EXPECT_EQ(names_of(app.path, "bin/other.exe").front(), u"bin\\other.exe");
    EXPECT_EQ(pack(app.path), pack(app.path));  // byte-identical, run after run
}

TEST(PackerTest, NonAsciiNamesBecomeUtf16) {
    scratch_folder app;
    write_file(app / "run.exe", fake_windows_program());
    write_file(app / "d\xc3\xa9j\xc3\xa0/\xe4\xb8\xad\xf0\x9f\x98\x80.txt", "x");
    const auto names = names_of(app.path);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], u"d\u00e9j\u00e0\\\u4e2d\U0001F600.txt");
}

TEST(PackerTest, RefusesWhatCannotBeUnpackedFaithfully) {
    struct row {
        const char* what;
        std::vector<std::string> files;
        std::string main;
        std::string message_part;
    } rows[] = {
        {"empty folder", {}, "", "holds no files"},
        {"no exe", {"readme.txt"}, "", "no .exe"},
        {"two exes", {"a.exe", "b.exe"}, "", "several .exe"},
        {"missing main", {"a.exe"}, "b.exe", "is not a file"},
        {"main with ..", {"a.exe"}, "../a.exe", "is not a file"},
        {"case twins", {"a.exe", "Data.txt", "data.TXT"}, "", "only in case"},
        {"non-ASCII case twins", {"a.exe", "\xc3\x84.txt", "\xc3\xa4.txt"}, "", "only in case"},
        {"file and folder in case", {"a.exe", "data", "DATA/x.txt"}, "", "only in case"},
        {"file and deeper folder", {"a.exe", "lib/Sub", "LIB/sub/x.dll"}, "", "only in case"},
        {"colon", {"a.exe", "x:y"}, "", "cannot hold"},
        {"backslash", {"a.exe", "x\\y"}, "", "cannot hold"},
        {"device name", {"a.exe", "lib/NUL.txt"}, "", "device name"},
        {"console device", {"a.exe", "CONIN$"}, "", "device name"},
        {"superscript port", {"a.exe", "lib/COM\xc2\xb9.txt"}, "", "device name"},
        // Wine's short name for ABCDEFGHIJ.TXT: one would be written through the other.
        {"short name", {"a.exe", "ABCDEFGHIJ.TXT", "ABCD~AUF.TXT"}, "", "short name"},
        {"trailing dot", {"a.exe", "name."}, "", "full stop"},
        {"long name",
         {"a.exe", std::string(200, 'n') + "/" + std::string(200, 'n') + "/" +
                       std::string(200, 'n') + "/" + std::string(200, 'n') + "/" +
                       std::string(230, 'n')},
         "",
         "longer than 1023"},
    };
    for (const row& r : rows) {
        scratch_folder app;
        for (const std::string& f : r.files) write_file(app / f, "x");
        try {
            list_application_folder(app.path, r.main);
            ADD_FAILURE() << r.what << ": accepted";
        } catch (const tool_error& e) {
            EXPECT_NE(std::string(e.what()).find(r.message_part), std::string::npos)
                << r.what << ": " << e.what();
        }
    }
}

// Links inside the folder are carried as copies of what they lead to (npm's
// node_modules/.bin); links that leave it, lead nowhere or would copy a
// folder into itself are refused with the way out, unless left out.
TEST(PackerTest, LinksInsideAreCopiedOthersRefused) {
    scratch_folder outside;
    write_file(outside / "secret.txt", "s");
    const struct {
        std::vector<std::pair<std::string, std::string>> links;  // link, where it leads
        std::vector<std::string> excludes;
        const char* why;  // part of the message, or nullptr when packed
    } rows[] = {
        {{{"node_modules/.bin/tool", "../tool/bin/tool.js"}, {"lib2", "lib"}}, {}, nullptr},
        {{{"out", outside / "secret.txt"}}, {}, "leads outside the folder"},
        {{{"out", outside.path}}, {"out"}, nullptr},
        {{{"lib/none", "missing.txt"}}, {}, "leads nowhere"},
        {{{"lib/up", ".."}}, {}, "holds it"},
        {{{"lib/up", ".."}}, {"lib/up"}, nullptr},
    };
    for (const auto& r : rows) {
        scratch_folder app;
        write_file(app / "a.exe", fake_windows_program());
        write_file(app / "node_modules/tool/bin/tool.js", "js");
        write_file(app / "lib/x.dll", "dll");
        for (const auto& [link, to] : r.links) {
            fs::create_directories(fs::path(app / link).parent_path());
            fs::create_symlink(to, app / link);
        }
        try {
            std::vector<std::string> found;
            for (const folder_entry& e : list_application_folder(app.path, "", r.excludes)) {
                found.push_back(utf16_to_utf8(e.name) + "=" + read_file(e.disk_path).substr(0, 2));
            }
            EXPECT_EQ(r.why, nullptr) << "packed: " << r.links[0].first;
            if (r.links[0].first == "node_modules/.bin/tool") {
                EXPECT_EQ(found,
                          (std::vector<std::string>{"a.exe=MZ", "lib2\\x.dll=dl", "lib\\x.dll=dl",
                                                    "node_modules\\.bin\\tool=js",
                                                    "node_modules\\tool\\bin\\tool.js=js"}));
            }
        } catch (const tool_error& e) {
            ASSERT_NE(r.why, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(r.why), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("--exclude"), std::string::npos) << e.what();
        }
    }
    scratch_folder app;
    write_file(app / "a.exe", fake_windows_program());
    ASSERT_EQ(mkfifo((app / "pipe").c_str(), 0600), 0);
    EXPECT_THROW(list_application_folder(app.path, ""), tool_error);
}

// --exclude's patterns, as .gitignore reads them.
TEST(PackerTest, ExcludePatternsMatchLikeGitignore) {
    const struct {
        const char* pattern;
        const char* path;
        bool folder, matches;
    } rows[] = {
        {"*.pdb", "a.pdb", false, true},
        {"*.pdb", "lib/deep/a.pdb", false, true},
        {"*.pdb", "a.pdb.txt", false, false},
        {"docs", "x/docs", true, true},
        {"docs/", "docs", false, false},
        {"docs/", "docs", true, true},
        {"/build", "build", true, true},
        {"/build", "x/build", true, false},
        {"lib/*.dll", "lib/a.dll", false, true},
        {"lib/*.dll", "lib/x/a.dll", false, false},
        {"lib/**/*.dll", "lib/a.dll", false, true},
        {"lib/**/*.dll", "lib/x/y/a.dll", false, true},
        {"**/test", "a/b/test", true, true},
        {"x/**", "x/a/b", false, true},
        {"a?c", "abc", false, true},
        {"a?c", "a/c", false, false},
        {"[ab]*.js", "b1.js", false, true},
        {"[!ab]*.js", "b1.js", false, false},
        {"[a-c]x", "cx", false, true},
        {"\\*x", "*x", false, true},
        {"\\*x", "ax", false, false},
        {".bin", "node_modules/.bin", true, true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(exclude_matches(r.pattern, r.path, r.folder), r.matches)
            << r.pattern << " on " << r.path;
    }
    for (const char* bad : {"", "!keep.txt", "[abc"}) {
        EXPECT_NE(exclude_pattern_problem(bad), "") << bad;
    }
}

TEST(PackerTest, StreamsAFileLargerThanEveryBuffer) {
    scratch_folder app;
    std::string big(5 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
    const bytes headers = fake_windows_program();
    big.replace(0, headers.size(), std::string(headers.begin(), headers.end()));
    write_file(app / "big.exe", big);
    const bytes stream = decompress_block_frame(pack(app.path));
    EXPECT_EQ(stream, [&] {
        bytes b = entry_bytes(u"big.exe", to_bytes(big));
        b.push_back(0);
        b.push_back(0);
        return b;
    }());
}

TEST(PackerTest, FrameSizeGivesEightFramesOnLargeFoldersWithinBounds) {
    constexpr std::uint64_t mib = 1 << 20;
    const struct {
        std::uint64_t stream, frame;
    } cases[] = {{0, 32 * mib},           {1, 32 * mib},
                 {256 * mib, 32 * mib},   {256 * mib + 1, 33 * mib},
                 {668'000'000, 80 * mib}, {1024 * mib, 128 * mib},
                 {5120 * mib, 128 * mib}};
    for (const auto& c : cases) EXPECT_EQ(frame_bytes_for(c.stream), c.frame) << c.stream;
    EXPECT_GE((668'000'000 + frame_bytes_for(668'000'000) - 1) / frame_bytes_for(668'000'000), 8u);
}

TEST(PackerTest, StreamOrderKeepsTheMainProgramFirstAndGroupsKinByExtensionThenName) {
    const std::vector<folder_entry> entries = {
        {u"z.exe", ""},      {u"a\\LICENSE", ""},  {u"a\\index.js", ""}, {u"a\\x.dll", ""},
        {u"b\\LICENSE", ""}, {u"b\\index.js", ""}, {u"b\\util.js", ""},  {u"c.exe", ""}};
    const std::vector<std::size_t> expected = {0, 1, 4, 3, 7, 2, 5, 6};
    EXPECT_EQ(stream_order(entries), expected);
}

// Frames cut through headers and data alike: the frames read back as one
// stream, the index says where each begins, the tool reads it the same way,
// and neither the number of threads nor a budget so tight that frames
// ahead of their turn wait for room changes anything.
TEST(PackerTest, ManyFramesAreOneStreamRecordedInTheIndexWhateverTheThreads) {
    scratch_folder app;
    write_file(app / "main.exe", fake_windows_program(std::string(9000, 'm')));
    std::string noise(20000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * i) >> 3);
    write_file(app / "a/noise.bin", noise);
    write_file(app / "a/empty", "");
    for (int i = 0; i < 40; ++i)
        write_file(app / ("many/f" + std::to_string(i)), "x" + noise.substr(0, i * 37));
    const std::vector<folder_entry> entries = list_application_folder(app.path, "");
    const auto pack_with = [&](unsigned threads, bytes& index, std::uint64_t memory = 0) {
        bytes block;
        write_block_to(
            entries, 3,
            [&](const void* d, std::size_t n) {
                block.insert(block.end(), static_cast<const unsigned char*>(d),
                             static_cast<const unsigned char*>(d) + n);
            },
            &index, {}, frame_plan{4096, threads, memory});
        return block;
    };
    bytes index, index_many;
    const bytes block = pack_with(1, index);
    EXPECT_EQ(pack_with(5, index_many), block);
    EXPECT_EQ(index_many, index);
    // Room for a few threads and about three chunks of waiting output.
    EXPECT_EQ(pack_with(8, index_many, 24 << 20), block);
    EXPECT_EQ(index_many, index);
    EXPECT_EQ(index.size(), index_length(entries, frame_plan{4096, 0}));

    bytes stream;
    for (const std::size_t i : stream_order(entries)) {
        const folder_entry& e = entries[i];
        const bytes data = entry_bytes(e.name, to_bytes(read_file(e.disk_path)));
        stream.insert(stream.end(), data.begin(), data.end());
    }
    stream.push_back(0);
    stream.push_back(0);
    EXPECT_EQ(decompress_block_frame(block), stream);

    // The table after the terminator, against the frames as Zstandard finds them.
    std::size_t pos = 0;
    payload_index::entry e;
    while (payload_index::next(index.data(), index.size(), pos, e) == payload_index::step::entry) {
    }
    const long long count = payload_index::frame_count(index.data() + pos, index.size() - pos);
    ASSERT_EQ(static_cast<std::uint64_t>(count), (stream.size() + 4095) / 4096);
    std::uint64_t at = payload_format::magic_size;
    for (long long k = 0; k < count; ++k) {
        const payload_index::frame f = payload_index::frame_at(index.data() + pos, k);
        EXPECT_EQ(f.block_offset, at);
        EXPECT_EQ(f.stream_offset, 4096u * k);
        at += ZSTD_findFrameCompressedSize(block.data() + at, block.size() - at);
    }
    EXPECT_EQ(at, block.size() - payload_format::tail_size);

    write_file(app / "block", block);
    EXPECT_EQ(index_of_block(app / "block"), index);
}

TEST(PackerCommandTest, BadInputGivesOneErrorLineAndLeavesNoOutput) {
    scratch_folder work;
    write_file(work / "app/readme.txt", "no program here");
    std::string err;
    EXPECT_NE(run_host({fenwix_tool(), "pack", work / "app", "-o", work / "block"}, &err), 0);
    EXPECT_NE(err.find("no .exe"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(work.path), fs::directory_iterator()), 1);

    EXPECT_NE(
        run_host({fenwix_tool(), "pack", work / "app", "-o", work / "block", "--level", "0"}, &err),
        0);
    EXPECT_NE(err.find("--level"), std::string::npos) << err;
    EXPECT_NE(run_host({fenwix_tool(), "pack", work / "app"}, &err), 0);
    EXPECT_NE(run_host({fenwix_tool(), "frobnicate"}, &err), 0);
    EXPECT_FALSE(fs::exists(work / "block"));
}

TEST(PackerCommandTest, ReplacesAnExistingBlockOnlyWhenComplete) {
    scratch_folder work;
    write_file(work / "block", "old block");
    write_file(work / "app/x.txt", "no exe");
    EXPECT_NE(run_host({fenwix_tool(), "pack", work / "app", "-o", work / "block"}), 0);
    EXPECT_EQ(read_file(work / "block"), "old block");
    write_file(work / "app/p.exe", fake_windows_program());
    EXPECT_EQ(run_host({fenwix_tool(), "pack", work / "app", "-o", work / "block"}), 0);
    EXPECT_EQ(read_file(work / "block").substr(0, 3), "QJX");
}

// A file rewritten while packed fails the pack, or packs with a right checksum.
TEST(PackerCommandTest, FileRewrittenWhilePackedNeverGivesABadBlock) {
    scratch_folder work;
    write_file(work / "app/main.exe", fake_windows_program());
    write_file(work / "app/data.bin", "");
    std::atomic<bool> done{false};
    std::thread rewriter([&] {
        for (char fill = 'a'; !done; fill ^= 1)  // in place: same size, new bytes
            std::fstream(work / "app/data.bin", std::ios::in | std::ios::out)
                << std::string(4 << 20, fill);
    });
    for (int round = 0; round < 6; ++round) {
        std::string err;
        if (run_host({fenwix_tool(), "pack", work / "app", "-o", work / "block"}, &err) != 0) {
            EXPECT_NE(err.find("changed while it was packed"), std::string::npos) << err;
        } else {
            build_launcher(work / "block", work / "app.exe");
            EXPECT_EQ(run_host({fenwix_tool(), "verify", work / "app.exe"}), 0) << round;
        }
    }
    done = true;
    rewriter.join();
}

// An interrupted pack leaves no temporary file; no output name is too long for one.
TEST(PackerCommandTest, InterruptedPackLeavesNothingAndLongOutputNamesWork) {
    scratch_folder work;
    write_file(work / "app/main.exe", fake_windows_program());
    fs::create_directory(work / "out");
    // Seconds of packing; SIGINT as by default, which a background job would ignore.
    const char* script =
        "head -c 8000000 /dev/urandom >\"$1/noise.bin\"; "
        "env --default-signal=INT \"$0\" pack \"$1\" -o \"$2/block\" --quiet & "
        "while [ -z \"$(ls -A \"$2\")\" ] && kill -0 $!; do sleep 0.01; done; kill -$3 $!; wait $!";
    for (const auto& [name, number] : {std::pair{"INT", 2}, std::pair{"TERM", 15}}) {
        EXPECT_EQ(
            run_host({"/bin/sh", "-c", script, fenwix_tool(), work / "app", work / "out", name}),
            128 + number);
        EXPECT_TRUE(fs::is_empty(work / "out")) << name;
    }
    const std::string longest = work / "out/" + std::string(251, 'n') + ".blk";
    EXPECT_EQ(run_host({fenwix_tool(), "pack", work / "app", "-o", longest, "--level", "1"}), 0);
}

}  // namespace
