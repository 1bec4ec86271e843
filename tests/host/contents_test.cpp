// fenwix list, verify and extract over launcher files: what they show and
// write, and that a damaged or foreign file gets one error and no output.
#include "format/block.h"
#include "format/index.h"
#include "format/values_section.h"
#include "tests/support/host_support.h"
#include "tools/inspect/contents.h"
#include "tools/pack/packer.h"
#include "tools/image/pe_image.h"

#define ZSTD_STATIC_LINKING_ONLY  // frame header inspection
#include <zlib.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The build values every test launcher carries.
const std::vector<std::string> values_options = {
    "--template", "{CACHE_DIR}\\Fjord", "--company", "Quenmar Ltd",
    "--product",  u8"Fjord \u00dc",     "--version", "2.3.4.5"};

// A launcher made by the fenwix tool around this block, as it is.
bytes launcher_around(const bytes& block) {
    scratch_folder dir;
    write_file(dir / "block", block);
    build_launcher(dir / "block", dir / "app.exe", values_options);
    return to_bytes(read_file(dir / "app.exe"));
}

bytes launcher_with(const bytes& entry_stream) {
    return launcher_around(block_around(compress_frame(entry_stream)));
}

struct sample_entry {
    std::u16string name;
    std::string utf8_name;
    bytes data;
};

std::vector<sample_entry> sample_entries() {
    bytes noise(300000);  // incompressible and larger than every read and decode buffer
    std::uint32_t x = 12345;
    for (unsigned char& b : noise) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return {{u"Fjord.exe", "Fjord.exe", fake_windows_program("fjord")},
            {u"lib\\noise.bin", "lib\\noise.bin", noise},
            {u"docs\\\u00dcber.txt", u8"docs\\\u00dcber.txt", to_bytes("about")},
            {u"empty.txt", "empty.txt", {}}};
}

bytes stream_of(const std::vector<sample_entry>& entries) {
    bytes out;
    for (const sample_entry& e : entries) out = cat(out, entry_bytes(e.name, e.data));
    return cat(out, terminator_bytes());
}

std::uint32_t checksum_of(const bytes& data) {
    return payload_format::entry_checksum_from_crc(
        static_cast<std::uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size()))));
}

std::vector<std::string> files_below(const std::string& folder, bool recursive = true) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(e.path(), folder).string();
        if (recursive || name.find('/') == std::string::npos) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string stdout_of(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

TEST(InspectTest, ListShowsTheValuesAndEveryEntryInBlockOrder) {
    scratch_folder dir;
    const std::vector<sample_entry> entries = sample_entries();
    const bytes block = block_around(compress_frame(stream_of(entries)));
    write_file(dir / "app.exe", launcher_around(block));
    std::string out = stdout_of([&] { run_list(dir / "app.exe"); });

    for (const char* text : {"{CACHE_DIR}\\Fjord", "Quenmar Ltd", u8"Fjord \u00dc", "2.3.4.5"}) {
        EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
    }
    EXPECT_NE(out.find(std::to_string(block.size())), std::string::npos) << out;
    // One line per entry, "size checksum name" however the columns are padded.
    for (std::size_t at; (at = out.find("  ")) != std::string::npos;) out.erase(at, 1);
    std::size_t previous = 0;
    for (const sample_entry& e : entries) {
        char checksum[9];
        std::snprintf(checksum, sizeof checksum, "%08x", checksum_of(e.data));
        const std::size_t at = out.find(
            std::to_string(e.data.size()) + " " + checksum + " " + e.utf8_name + "\n", previous);
        EXPECT_NE(at, std::string::npos) << e.utf8_name << "\n" << out;
        previous = at;
    }
}

TEST(InspectTest, VerifyPassesAnIntactFileAndNamesOnlyTheFirstBadEntry) {
    scratch_folder dir;
    const std::vector<sample_entry> entries = sample_entries();
    write_file(dir / "good.exe", launcher_with(stream_of(entries)));
    std::string out = stdout_of([&] { EXPECT_EQ(run_verify(dir / "good.exe"), 0); });
    EXPECT_NE(out.find(std::to_string(entries.size())), std::string::npos) << out;

    bytes stream = entry_bytes(u"a.exe", to_bytes("fine"));
    for (const char16_t* bad : {u"second.dll", u"third.dll"}) {
        const bytes data = to_bytes("data");
        stream =
            cat(cat(stream, encode_entry_header(bad, data.size(), checksum_of(data) ^ 1)), data);
    }
    write_file(dir / "bad.exe", launcher_with(cat(stream, terminator_bytes())));
    out = stdout_of([&] { EXPECT_EQ(run_verify(dir / "bad.exe"), 1); });
    EXPECT_NE(out.find("second.dll"), std::string::npos) << out;
    EXPECT_EQ(out.find("third.dll"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    bytes patched = to_bytes(read_file(dir / "good.exe"));
    patched[0x4E] ^= 1;  // in the DOS stub: only the image's own checksum tells
    write_file(dir / "patched.exe", patched);
    out = stdout_of([&] { EXPECT_EQ(run_verify(dir / "patched.exe"), 1); });
    EXPECT_EQ(out.rfind("the image's checksum does not match", 0), 0u) << out;
}

TEST(InspectTest, ListCountsTheIndexAndVerifyHoldsItToTheBlock) {
    scratch_folder dir;
    const std::vector<sample_entry> entries = sample_entries();
    write_file(dir / "block", block_around(compress_frame(stream_of(entries))));
    std::vector<std::string> options = values_options;
    options.insert(options.end(), {"--index", "decoded"});
    build_launcher(dir / "block", dir / "app.exe", options);
    const std::string listed = stdout_of([&] { run_list(dir / "app.exe"); });
    EXPECT_NE(listed.find("index     " + std::to_string(entries.size()) + " entries"),
              std::string::npos)
        << listed;
    stdout_of([&] { EXPECT_EQ(run_verify(dir / "app.exe"), 0); });

    // One unit of the first name, in the index only.
    bytes image = to_bytes(read_file(dir / "app.exe"));
    const std::string magic(values_section::magic, sizeof values_section::magic);
    const auto values = std::find_end(image.begin(), image.end(), magic.begin(), magic.end());
    ASSERT_NE(values, image.end());
    const std::size_t index_offset =
        static_cast<std::size_t>(payload_format::get_u32_le(&*values + 56) +
                                 static_cast<std::size_t>(values - image.begin()));
    ASSERT_EQ(image.at(index_offset), 'F');
    image[index_offset] = 'G';
    write_file(dir / "app.exe", image);
    const std::string out = stdout_of([&] { EXPECT_EQ(run_verify(dir / "app.exe"), 1); });
    EXPECT_NE(out.find("the index does not describe entry 1 'Fjord.exe'"), std::string::npos)
        << out;
}

// The index's frame table must say where the block's frames begin; an index
// from before frames were recorded has none and still reads.
TEST(InspectTest, VerifyHoldsTheIndexsFramesToTheBlockAndAnIndexWithoutThemReads) {
    scratch_folder dir;
    const std::vector<sample_entry> entries = sample_entries();
    const bytes stream = stream_of(entries);
    const std::size_t half = stream.size() / 2;
    bytes frames = compress_frame(bytes(stream.begin(), stream.begin() + half));
    const bytes second = compress_frame(bytes(stream.begin() + half, stream.end()));
    frames.insert(frames.end(), second.begin(), second.end());
    write_file(dir / "block", block_around(frames));
    std::vector<std::string> options = values_options;
    options.insert(options.end(), {"--index", "decoded"});
    build_launcher(dir / "block", dir / "app.exe", options);
    stdout_of([&] { EXPECT_EQ(run_verify(dir / "app.exe"), 0); });

    bytes image = to_bytes(read_file(dir / "app.exe"));
    const std::string magic(values_section::magic, sizeof values_section::magic);
    const std::size_t values = static_cast<std::size_t>(
        std::find_end(image.begin(), image.end(), magic.begin(), magic.end()) - image.begin());
    const std::size_t index_end = values + payload_format::get_u32_le(&image[values + 56]) +
                                  payload_format::get_u32_le(&image[values + 60]);
    ASSERT_EQ(payload_format::get_u64_le(&image[index_end - 8]), half);
    image[index_end - 8] ^= 1;  // the second frame's stream offset
    write_file(dir / "app.exe", image);
    const std::string out = stdout_of([&] { EXPECT_EQ(run_verify(dir / "app.exe"), 1); });
    EXPECT_NE(out.find("the index's frames are not the block's"), std::string::npos) << out;

    const std::uint32_t table =
        payload_index::frame_count_size + 2 * payload_index::frame_record_size;
    payload_format::put_u32_le(&image[values + 60],
                               payload_format::get_u32_le(&image[values + 60]) - table);
    write_file(dir / "app.exe", image);
    const std::string listed = stdout_of([&] { run_list(dir / "app.exe"); });
    EXPECT_NE(listed.find("index     " + std::to_string(entries.size()) + " entries"),
              std::string::npos)
        << listed;
}

TEST(InspectTest, ExtractOfABuiltLauncherGivesBackItsFolderIntoANewOrEmptyFolder) {
    scratch_folder dir;
    const std::vector<sample_entry> entries = sample_entries();
    const auto relative = [](const sample_entry& e) {
        std::string path = e.utf8_name;
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    };
    for (const sample_entry& e : entries) write_file(dir / "app/" + relative(e), e.data);
    build_launcher(dir / "app", dir / "app.exe");
    fs::remove_all(dir / "app");
    for (const char* empty : {"empty", "slash", "here"}) fs::create_directory(dir / empty);
    const fs::path cwd = fs::current_path();
    fs::current_path(dir / "here");  // "." is a folder the user is in: it must stay the same one
    const fs::perms usual = fs::status(dir / "empty").permissions();  // what mkdir gives
    for (const std::string& target :
         {dir / "new", dir / "empty", dir / "slash/", std::string(".")}) {
        run_extract(dir / "app.exe", target);
        for (const sample_entry& e : entries) {
            EXPECT_EQ(to_bytes(read_file(target + "/" + relative(e))), e.data) << relative(e);
        }
        EXPECT_EQ(files_below(target).size(), entries.size() + 2);  // and lib, docs
        for (const std::string& made : {target, target + "/lib"})
            EXPECT_EQ(fs::status(made).permissions(), usual) << made;
    }
    fs::current_path(cwd);
    // A folder with something in it is never written into.
    EXPECT_THROW(run_extract(dir / "app.exe", dir / "new"), tool_error);
    EXPECT_EQ(files_below(dir / "new").size(), entries.size() + 2);
    // No temporary folder is left beside them.
    EXPECT_EQ(files_below(dir.path, false),
              (std::vector<std::string>{"app.exe", "empty", "here", "new", "slash"}));
}

// Controls and bidirectional controls in a listed name show escaped, so no
// name passes for another; a backslash stays the level separator.
TEST(InspectTest, ListEscapesCharactersThatHideOrReorderAName) {
    scratch_folder dir;
    const std::u16string name =
        u"lib\\x\u202E\u2066\u2069\u061C\u200E\u200F\u202A\t\u007F\u0085\u009F\u00A0\u00e9";
    write_file(dir / "app.exe", launcher_with(cat(entry_bytes(name, {}), terminator_bytes())));
    const std::string out = stdout_of([&] { run_list(dir / "app.exe"); });
    EXPECT_NE(out.find(u8"  lib\\x\\u202E\\u2066\\u2069\\u061C\\u200E\\u200F\\u202A\\u0009\\u007F"
                       u8"\\u0085\\u009F\u00A0\u00e9\n"),
              std::string::npos)
        << out;
}

// A frame whose header asks for a window of 2^window_log bytes.
bytes frame_with_window_log(const bytes& content, int window_log) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
    bytes out(ZSTD_compressBound(content.size()) + 64);
    ZSTD_outBuffer o{out.data(), out.size(), 0};
    // Two steps: with the size unknown at the start the frame keeps the full window.
    ZSTD_inBuffer first{content.data(), 1, 0}, rest{content.data() + 1, content.size() - 1, 0};
    ZSTD_compressStream2(c, &o, &first, ZSTD_e_continue);
    EXPECT_EQ(ZSTD_compressStream2(c, &o, &rest, ZSTD_e_end), 0u);
    ZSTD_freeCCtx(c);
    out.resize(o.pos);
    ZSTD_frameHeader h;
    EXPECT_EQ(ZSTD_getFrameHeader(&h, out.data(), out.size()), 0u);
    EXPECT_EQ(h.windowSize, 1ull << window_log);
    return out;
}

TEST(InspectTest, DamagedOrForeignFilesGetOneErrorAndExtractWritesNothing) {
    const bytes stream = stream_of(sample_entries());
    const bytes block = block_around(compress_frame(stream));
    const bytes good = launcher_around(block);
    const pe_headers headers = parse_pe_headers(good.data(), good.size(), good.size(), "launcher");
    const pe_section* values = find_section(headers, values_section::section_name);
    ASSERT_NE(values, nullptr);
    const std::size_t values_name_at =
        headers.section_table_offset + 40 * static_cast<std::size_t>(values - &headers.sections[0]);
    const auto changed = [](bytes b, std::size_t at, unsigned char value) {
        b[at] = value;
        return b;
    };
    const bytes x = to_bytes("x");
    struct damage {
        const char* what;
        bytes file;     // empty: no file at all
        bool readable;  // list reads it through; verify names the bad entry
    };
    const damage cases[] = {
        {"missing file", {}, false},
        {"not an image", to_bytes(std::string(4096, 'M')), false},
        {"no .fenwix section", changed(good, values_name_at + 1, 'X'), false},
        {"values magic", changed(good, values->raw_offset, 'X'), false},
        {"block magic", launcher_around(changed(block, 2, 'Z')), false},
        {"truncated file", bytes(good.begin(), good.begin() + good.size() / 2), false},
        {"corrupt frame", launcher_around(changed(block, 3, 0)), false},  // the frame's magic
        {"no terminator", launcher_with(bytes(stream.begin(), stream.end() - 2)), false},
        {"data after the terminator", launcher_with(cat(stream, x)), false},
        {"name of 1024 units",
         launcher_with(cat(entry_bytes(std::u16string(1024, u'a'), x), terminator_bytes())), false},
        {"window above 2^27", launcher_around(block_around(frame_with_window_log(stream, 28))),
         false},
        {"bad checksum",
         launcher_with(
             cat(cat(encode_entry_header(u"x.dll", 1, checksum_of(x) ^ 1), x), terminator_bytes())),
         true},
        {"name leaving the folder",
         launcher_with(cat(entry_bytes(u"..\\x", x), terminator_bytes())), true},
    };
    for (const damage& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_folder dir;
        if (!c.file.empty()) write_file(dir / "app.exe", c.file);
        if (!c.readable) {
            EXPECT_EQ(stdout_of([&] {
                          EXPECT_THROW(run_list(dir / "app.exe"), tool_error);
                          EXPECT_THROW(run_verify(dir / "app.exe"), tool_error);
                      }),
                      "");
        } else {
            stdout_of([&] { EXPECT_EQ(run_verify(dir / "app.exe"), 1); });
        }
        EXPECT_THROW(run_extract(dir / "app.exe", dir / "out"), tool_error);
        EXPECT_EQ(files_below(dir.path, false), c.file.empty()
                                                    ? std::vector<std::string>{}
                                                    : std::vector<std::string>{"app.exe"});
    }
}

}  // namespace
