// The resource section: icon refusals, the directory tree as the loader walks
// it, the version resource as VerQueryValueW walks it, and a program's own
// version resource read back.
#include "tests/support/host_support.h"
#include "tools/cli/build_defaults.h"
#include "tools/image/pe_resources.h"
#include "tools/image/version_reader.h"
#include "tools/pack/packer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using bytes = std::vector<unsigned char>;

std::uint32_t le(const bytes& b, std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | (at + i < b.size() ? b[at + i] : 0);
    return v;
}

void put(bytes& b, std::size_t at, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

bytes utf16z(const std::u16string& text) {
    bytes out;
    for (char16_t u : text + u'\0')
        out.insert(out.end(), {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8)});
    return out;
}

// An .ico whose images have these sizes, each of different filler bytes.
bytes make_ico(const std::vector<std::uint32_t>& sizes) {
    bytes ico(6 + 16 * sizes.size(), 0);
    put(ico, 2, 1, 2);
    put(ico, 4, static_cast<std::uint32_t>(sizes.size()), 2);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::size_t entry = 6 + 16 * i;
        put(ico, entry, 0x20101010 + static_cast<std::uint32_t>(i), 4);  // width, height, ...
        put(ico, entry + 4, 0x00200001, 4);                              // planes, bit count
        put(ico, entry + 8, sizes[i], 4);
        put(ico, entry + 12, static_cast<std::uint32_t>(ico.size()), 4);
        ico.resize(ico.size() + sizes[i], static_cast<unsigned char>(0x41 + i));
    }
    return ico;
}

resource_values make_values(const bytes& ico) {
    return {u"Quenmar Ltd", u"T\u00f6\u00f6l", u"1.26.3.4",          u"Tool that t\u00f6\u00f6ls",
            u"(C) Quenmar", {1, 26, 3, 4},     {'<', 'a', '/', '>'}, ico};
}

// Follows type -> id -> language 1033 to the data, checking what the loader
// relies on: ascending ids (it binary-searches) and flagged subdirectories.
bytes resource(const bytes& s, std::uint32_t rva, std::uint32_t type, std::uint32_t id) {
    std::uint32_t at = 0;
    for (std::uint32_t want : {type, id, 1033u}) {
        std::uint32_t found = 0;
        for (std::uint32_t i = 0, e = at + 16; i < le(s, at + 14, 2); ++i, e += 8) {
            EXPECT_TRUE(i == 0 || le(s, e - 8, 4) < le(s, e, 4)) << "directory at " << at;
            if (le(s, e, 4) == want) found = le(s, e + 4, 4);
        }
        EXPECT_EQ(found >> 31, want == 1033u ? 0u : 1u) << "entry " << want << " at " << at;
        at = found & 0x7FFFFFFF;
    }
    const std::uint32_t offset = le(s, at, 4) - rva, size = le(s, at + 4, 4);
    if (offset % 8 != 0 || std::uint64_t{offset} + size > s.size()) {
        ADD_FAILURE() << "data of " << type << "/" << id << " at " << offset;
        return {};
    }
    return bytes(s.begin() + offset, s.begin() + offset + size);
}

// Walks a version block and its children as VerQueryValueW does: each starts
// on a 32-bit boundary and ends inside its parent. Collects the values by key.
void walk(const bytes& b, std::size_t at, std::size_t end,
          std::map<std::u16string, bytes>& values) {
    const std::size_t length = le(b, at, 2), unit = le(b, at + 4, 2) == 1 ? 2 : 1;
    ASSERT_TRUE(at % 4 == 0 && length >= 6 && at + length <= end) << "block at " << at;
    std::u16string key;
    std::size_t p = at + 6;
    for (; le(b, p, 2) != 0; p += 2) key += static_cast<char16_t>(le(b, p, 2));
    p = (p + 5) / 4 * 4;
    const std::size_t value_end = p + unit * le(b, at + 2, 2);
    ASSERT_LE(value_end, at + length) << "block at " << at;
    values[key].assign(b.begin() + p, b.begin() + value_end);
    for (p = (value_end + 3) / 4 * 4; p < at + length; p = (p + le(b, p, 2) + 3) / 4 * 4) {
        ASSERT_GE(le(b, p, 2), 6u);
        walk(b, p, at + length, values);
    }
}

TEST(PeResourcesTest, RefusesEachKindOfBadIcon) {
    const bytes good = make_ico({40, 8});
    EXPECT_NO_THROW(check_icon_file(good, "--icon 'x'"));
    std::vector<bytes> bad(6, good);
    bad[0][2] = 2;              // a cursor
    put(bad[1], 4, 0, 2);       // no image
    bad[2].resize(6 + 16 + 5);  // directory cut short
    put(bad[3], 6 + 16 + 12, static_cast<std::uint32_t>(good.size()) - 7, 4);  // past the end
    put(bad[4], 6 + 12, 0xFFFFFFF0, 4);                                        // far past the end
    put(bad[5], 6 + 16 + 8, 0, 4);                                             // an empty image
    bad.push_back({0, 0, 1});
    for (const bytes& ico : bad) {
        try {
            check_icon_file(ico, "--icon 'x'");
            ADD_FAILURE() << "accepted a bad icon of " << ico.size() << " bytes";
        } catch (const tool_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("--icon 'x' is not a Windows .ico file", 0), 0u)
                << e.what();
        }
    }
    EXPECT_THROW(resource_section(0x1000, make_values(bad[5])), tool_error);
}

TEST(PeResourcesTest, TreeHoldsIconsGroupAndManifestAtTheirRvas) {
    const bytes ico = make_ico({37, 100, 9});
    const resource_values v = make_values(ico);
    const bytes s = resource_section(0x8d000, v);
    EXPECT_EQ(s.size() % 8, 0u);
    EXPECT_EQ(le(s, 14, 2), 4u);
    EXPECT_EQ(resource(s, 0x8d000, 24, 1), v.manifest);

    const bytes group = resource(s, 0x8d000, 14, 1);
    ASSERT_EQ(group.size(), 6u + 14 * 3);
    EXPECT_EQ(bytes(group.begin(), group.begin() + 6), bytes(ico.begin(), ico.begin() + 6));
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t g = 6 + 14 * i, e = 6 + 16 * i;
        EXPECT_EQ(bytes(group.begin() + g, group.begin() + g + 12),
                  bytes(ico.begin() + e, ico.begin() + e + 12));
        // The RT_ICON that the group names holds this entry's image exactly.
        const std::uint32_t offset = le(ico, e + 12, 4), size = le(ico, e + 8, 4);
        EXPECT_EQ(resource(s, 0x8d000, 3, le(group, g + 12, 2)),
                  bytes(ico.begin() + offset, ico.begin() + offset + size));
    }
}

TEST(PeResourcesTest, VersionBlocksNestAndCarryEveryValueEmptyOnesToo) {
    resource_values v = make_values(make_ico({20}));
    v.company.clear();
    v.copyright.clear();
    const bytes info = resource(resource_section(0x3000, v), 0x3000, 16, 1);
    std::map<std::u16string, bytes> values;
    walk(info, 0, info.size(), values);
    EXPECT_EQ(le(info, 0, 2), info.size());
    const std::map<std::u16string, std::u16string> expected = {
        {u"CompanyName", u""},
        {u"ProductName", v.product},
        {u"FileDescription", v.description},
        {u"LegalCopyright", u""},
        {u"FileVersion", v.version},
        {u"ProductVersion", v.version},
        {u"InternalName", v.product},
        {u"OriginalFilename", v.product + u".exe"}};
    for (const auto& [key, text] : expected) {
        EXPECT_EQ(values[key], utf16z(text)) << std::string(key.begin(), key.end());
    }
    const bytes& fixed = values[u"VS_VERSION_INFO"];
    ASSERT_EQ(fixed.size(), 52u);
    EXPECT_EQ(le(fixed, 0, 4), 0xFEEF04BDu);
    for (std::size_t at : {8, 16}) {  // file version, then product version
        EXPECT_EQ(le(fixed, at, 4), (1u << 16) | 26u);
        EXPECT_EQ(le(fixed, at + 4, 4), (3u << 16) | 4u);
    }
    EXPECT_EQ(values[u"Translation"], (bytes{0x00, 0x00, 0xB0, 0x04}));

    v.product.assign(20000, u'x');  // more than a 16-bit block length can count
    EXPECT_THROW(resource_section(0x1000, v), tool_error);
}

// What a program says of itself, read back: from a section our writer made,
// and from node.exe, whose resources another toolchain wrote.
TEST(VersionReaderTest, ReadsTheStringsAndNumbersOfAVersionResource) {
    const resource_values v = make_values(make_ico({20, 30}));
    resource_span span;
    span.section_rva = span.directory_rva = 0x5000;
    const bytes section = resource_section(0x5000, v);
    const program_version read = read_program_version(section, span);
    EXPECT_EQ(read.product_name, v.product);
    EXPECT_EQ(read.company_name, v.company);
    EXPECT_EQ(read.file_description, v.description);
    EXPECT_EQ(read.legal_copyright, v.copyright);
    EXPECT_EQ(read.product_version, v.version);
    ASSERT_TRUE(read.has_fixed);
    EXPECT_EQ(read.fixed_product[1], 26u);
    // Cut anywhere, the section gives no value rather than a wrong one or a crash.
    for (std::size_t cut = 0; cut < section.size(); cut += 7) {
        const program_version part =
            read_program_version(bytes(section.begin(), section.begin() + cut), span);
        EXPECT_TRUE(part.product_name.empty() || part.product_name == v.product);
    }

    const program_version node = read_version_of_file(source_file("build/node/app/node.exe"));
    EXPECT_EQ(node.product_name, u"Node.js");
    EXPECT_EQ(four_part_version(node.product_version), "22.22.0.0");
    EXPECT_TRUE(read_version_of_file(source_file("README.md")).product_name.empty());
}

// A program whose bytes pass once, as `fenwix sbom` decodes it, gives what
// reading its file gives, whatever the pieces (crossing the headers' end and
// the resource section's ends anywhere); a file that is no image, nothing.
TEST(VersionReaderTest, StreamedProgramGivesTheVersionItsFileGives) {
    for (const char* file : {"build/node/app/node.exe", "README.md"}) {
        const std::string path = source_file(file);
        const program_version whole = read_version_of_file(path);
        const bytes data = to_bytes(read_file(path));
        for (const std::size_t piece :
             {std::size_t{4093}, std::size_t{65536}, std::size_t{65537}, std::size_t{1} << 20}) {
            version_stream v;
            version_stream_start(v, data.size());
            for (std::size_t at = 0; at < data.size(); at += piece) {
                version_stream_feed(v, data.data() + at, std::min(piece, data.size() - at));
            }
            const program_version streamed = version_stream_finish(v);
            EXPECT_EQ(streamed.product_name, whole.product_name) << file << ", " << piece;
            EXPECT_EQ(streamed.product_version, whole.product_version) << file << ", " << piece;
            EXPECT_EQ(streamed.legal_copyright, whole.legal_copyright) << file << ", " << piece;
        }
    }
}

TEST(VersionReaderTest, VersionTextsBecomeFourNumbers) {
    const struct {
        const char16_t* text;
        const char* four;
    } rows[] = {
        {u"22.22.0", "22.22.0.0"},
        {u"1, 2, 3, 4", "1.2.3.4"},
        {u"3.1-beta", "3.1.0.0"},
        {u" 7 ", "7.0.0.0"},
        {u"1.2.3.4.5", "1.2.3.4"},
        {u"65536.1", ""},
        {u"v1.2", ""},
        {u"", ""},
        {u"1.2 (build 7)", "1.2.0.0"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(four_part_version(r.text), r.four) << r.four;
    }
}

}  // namespace
