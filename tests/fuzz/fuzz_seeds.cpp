// Writes the seed inputs of the fuzz targets: a handful of valid and slightly
// broken blocks, launchers and templates, made with the host tests' helpers
// and the fenwix tool. Usage: fuzz_seeds CORPUS_FOLDER (a folder per target
// is made below it; seeds already there are overwritten, found inputs kept).
#include "format/block.h"
#include "format/values_section.h"
#include "tests/support/host_support.h"
#include "tools/image/pe_resources.h"
#include "tools/pack/packer.h"

#include <zstd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes noise(std::size_t n) {
    bytes out(n);
    std::uint32_t x = 2463534242u;
    for (unsigned char& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return out;
}

// A frame with the header fields the packer leaves out: content size and checksum.
bytes frame_with_size_and_checksum(const bytes& content) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    bytes out(ZSTD_compressBound(content.size()));
    const std::size_t n = ZSTD_compress2(c, out.data(), out.size(), content.data(), content.size());
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(n)) throw std::runtime_error("compression failed");
    out.resize(n);
    return out;
}

// The smallest image the tool reads as a launcher: headers and one .fenwix
// section holding the values and the block, so a fuzzer spends its mutations
// on what the readers look at rather than on a stub's code.
bytes small_launcher(const bytes& block, const bytes& index = {}) {
    const std::u16string texts[values_section::text_count] = {
        u"{CACHE_DIR}\\Orvelle", u"Quenmar Ltd", u"Orvelle", u"1.26.0.0"};
    const char16_t* text_data[values_section::text_count];
    std::size_t units[values_section::text_count];
    for (std::size_t t = 0; t < values_section::text_count; ++t) {
        text_data[t] = texts[t].c_str();
        units[t] = texts[t].size();
    }
    bytes values(values_section::block_offset_for(units, index.size()));
    values_section::encode(values.data(), text_data, units, index.data(), index.size(),
                           block.size());
    values = cat(values, block);

    constexpr std::size_t headers_size = 0x200, section_rva = 0x1000;
    const std::size_t raw_size = (values.size() + 0x1FF) / 0x200 * 0x200;
    bytes image(headers_size + raw_size);
    const auto put = [&](std::size_t at, std::uint64_t v, int n) {
        payload_format::write_le(image.data() + at, v, n);
    };
    image[0] = 'M';
    image[1] = 'Z';
    put(0x3C, 0x40, 4);
    put(0x40, 0x4550, 4);  // "PE\0\0"
    put(0x44, 0x8664, 2);  // x64
    put(0x46, 1, 2);       // one section
    put(0x54, 0xF0, 2);    // optional header size
    put(0x56, 0x22, 2);
    const std::size_t opt = 0x58;
    put(opt, 0x20B, 2);  // PE32+
    put(opt + 32, 0x1000, 4);
    put(opt + 36, 0x200, 4);
    put(opt + 56, section_rva + (values.size() + 0xFFF) / 0x1000 * 0x1000, 4);
    put(opt + 60, headers_size, 4);
    put(opt + 68, 3, 2);  // console
    put(opt + 108, 16, 4);
    const std::size_t section = opt + 0xF0;
    for (std::size_t i = 0; i < 8; ++i) image[section + i] = values_section::section_name[i];
    put(section + 8, values.size(), 4);
    put(section + 12, section_rva, 4);
    put(section + 16, raw_size, 4);
    put(section + 20, headers_size, 4);
    put(section + 36, 0x40000040, 4);
    std::copy(values.begin(), values.end(), image.begin() + headers_size);
    return image;
}

// A template input: the capacity, then the fields, each ended by a 0 unit.
bytes template_input(std::uint16_t capacity, const std::vector<std::u16string>& fields) {
    bytes out{static_cast<unsigned char>(capacity), static_cast<unsigned char>(capacity >> 8)};
    for (const std::u16string& f : fields) {
        for (char16_t u : f) {
            out.push_back(static_cast<unsigned char>(u));
            out.push_back(static_cast<unsigned char>(u >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

void write_seed(const fs::path& folder, const std::string& name, const bytes& content) {
    fs::create_directories(folder);
    write_file((folder / ("seed-" + name)).string(), content);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS_FOLDER\n");
        return 2;
    }
    try {
        const fs::path corpus = argv[1];
        const bytes small = cat(cat(entry_bytes(u"Orvelle.exe", to_bytes("MZ orvelle")),
                                    entry_bytes(u"data\\message.txt", to_bytes("hello\r\n"))),
                                terminator_bytes());
        const bytes large = cat(cat(cat(entry_bytes(u"app.exe", noise(40000)),
                                        entry_bytes(u"lib\\zeros.bin", bytes(300000, 0))),
                                    entry_bytes(u"empty", {})),
                                terminator_bytes());
        const bytes long_name =
            cat(entry_bytes(std::u16string(1023, u'n'), to_bytes("x")), terminator_bytes());
        bytes bad_checksum = entry_bytes(u"a.txt", to_bytes("abc"));
        bad_checksum[2 * 5 + 2 + 8] ^= 1;
        bad_checksum = cat(bad_checksum, terminator_bytes());
        const bytes bad_name =
            cat(entry_bytes(u"..\\escape.txt", to_bytes("x")), terminator_bytes());
        const bytes no_terminator = entry_bytes(u"a.txt", to_bytes("abc"));

        // The frame header's window descriptor (no single segment, so it
        // follows the descriptor byte) set one step above 2^27: refused.
        bytes too_large_window = compress_frame(small);
        too_large_window[5] = (17 << 3) | 1;

        const std::vector<std::pair<std::string, bytes>> blocks = {
            {"terminator", block_around(compress_frame(terminator_bytes()))},
            {"small", block_around(compress_frame(small))},
            {"large", block_around(compress_frame(large, 1))},
            {"long-name", block_around(compress_frame(long_name))},
            {"bad-checksum", block_around(compress_frame(bad_checksum))},
            {"bad-name", block_around(compress_frame(bad_name))},
            {"no-terminator", block_around(compress_frame(no_terminator))},
            {"two-frames", block_around(cat(compress_frame(entry_bytes(u"a", to_bytes("1"))),
                                            compress_frame(terminator_bytes())))},
            {"size-and-checksum", block_around(frame_with_size_and_checksum(small))},
            {"bytes-after-frame", block_around(cat(compress_frame(small), to_bytes("junk")))},
            {"window-too-large", block_around(too_large_window)},
        };
        const fs::path walk = corpus / "entry_walk";
        const fs::path contents = corpus / "contents";
        for (const auto& [name, block] : blocks) {
            write_seed(walk, name, block);
            write_seed(contents, name, small_launcher(block));
        }
        write_seed(contents, "indexed",
                   small_launcher(block_around(compress_frame(small)), index_of_stream(small)));
        bytes wrong_header = blocks[1].second;
        wrong_header[2] = 'Y';
        write_seed(walk, "wrong-header", wrong_header);

        // The example application, packed and built by the tool itself.
        scratch_folder scratch;
        write_block(list_application_folder(example_app_dir(), ""), scratch / "example.block", 3);
        write_seed(walk, "example", to_bytes(read_file(scratch / "example.block")));
        build_launcher(example_app_dir(), scratch / "example.exe", {"--level", "3", "--quiet"});
        write_seed(contents, "example-launcher", to_bytes(read_file(scratch / "example.exe")));
        write_file(scratch / "small.block", blocks[1].second);
        build_launcher(scratch / "small.block", scratch / "small.exe", {"--quiet"});
        write_seed(contents, "small-launcher", to_bytes(read_file(scratch / "small.exe")));
        build_launcher(
            scratch / "small.block", scratch / "launch.exe",
            {"--quiet", "--arg", "{APP_DIR}\\a b", "--env", "A=%B%;{APP_DIR}", "--cwd", "app"});
        write_seed(contents, "launch-line", to_bytes(read_file(scratch / "launch.exe")));

        // A resource section as fenwix writes it, its directory at its start.
        resource_values values{u"Quenmar Ltd", u"Fjord",     u"2.3.4.5",       u"Fjord tool",
                               u"(C) Q",       {2, 3, 4, 5}, to_bytes("<a/>"), {}};
        values.icon_file = {0, 0, 1, 0, 1, 0,  1, 1, 0, 0, 1, 0, 32,
                            0, 4, 0, 0, 0, 22, 0, 0, 0, 1, 2, 3, 4};
        write_seed(corpus / "version_reader", "written",
                   cat(bytes{0, 0}, resource_section(0x4000, values)));

        const fs::path templates = corpus / "template";
        // Module path, temporary, profile and application data folders, company,
        // product and version of a typical run, then the inherited variables.
        const std::vector<std::u16string> typical = {u"C:\\Users\\Fuzz\\Downloads\\Orvelle.exe",
                                                     u"C:\\Users\\Fuzz\\AppData\\Local\\Temp\\",
                                                     u"C:\\Users\\Fuzz",
                                                     u"C:\\Users\\Fuzz\\AppData\\Local",
                                                     u"Quenmar Ltd",
                                                     u"Orvelle",
                                                     u"1.26.0.0"};
        const auto with = [&](const std::u16string& text, std::vector<std::u16string> inherited) {
            std::vector<std::u16string> fields = {text};
            fields.insert(fields.end(), typical.begin(), typical.end());
            fields.insert(fields.end(), inherited.begin(), inherited.end());
            return fields;
        };
        const std::vector<std::pair<std::string, bytes>> template_seeds = {
            {"default", template_input(4095, {u"{CACHE_DIR}\\Orvelle"})},
            {"fresh", template_input(4095, {u"{PROGRAM_DIR}\\{RANDOM}-{TIME}"})},
            {"braces", template_input(4095, {u"{{x}"})},
            {"folders", template_input(4095, {u"{TEMP}{HOME}"})},
            {"inherited",
             template_input(4095,
                            with(u"{PROGRAM_BASE}.d\\{PID}\\{TIME_US}{RANDOM}{TIME}",
                                 {u"1234", u"abcdefghijk", u"133485408001234567", u"123456"}))},
            {"values", template_input(19, {u"{COMPANY}\\{product}\\{Version}\\{FILE_VERSION}"})},
            {"short-program",
             template_input(9, {u"{PROGRAM}", u"D:\\a very long folder name\\tool.exe"})},
            {"short-program-unterminated",
             template_input(0x8000 | 9,
                            {u"{PROGRAM_BASE}", u"D:\\a very long folder name\\tool.exe"})},
            {"short-temp", template_input(4, {u"{TEMP}", u"", u"X:\\"})},
            {"root-folders",
             template_input(100, {u"{CACHE_DIR}|{HOME}", u"", u"", u"X:\\", u"Y:\\"})},
            {"bad-parent", template_input(4095, with(u"{PID}", {u"12a"}))},
            {"unknown", template_input(4095, {u"x}{unknown}"})},
        };
        for (const auto& [name, input] : template_seeds) write_seed(templates, name, input);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
