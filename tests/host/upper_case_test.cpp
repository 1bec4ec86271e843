// The upper-case table that decides which names Windows takes for one file,
// checked against the Unicode data it was made from and through the builder.
#include "format/template_grammar.h"
#include "format/upper_case.h"
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Every BMP unit's simple uppercase mapping, read straight from the data
// (a target beyond the BMP cannot be one unit, so such a unit stays).
std::map<unsigned, unsigned> simple_uppercase_from_data() {
    std::map<unsigned, unsigned> upper;
    std::ifstream data("/usr/share/unicode/UnicodeData.txt");
    std::string line;
    while (std::getline(data, line)) {
        std::vector<std::string> fields;
        std::stringstream fields_of(line);
        for (std::string f; std::getline(fields_of, f, ';');) fields.push_back(f);
        if (fields.size() < 13 || fields[12].empty()) continue;
        const unsigned code = std::stoul(fields[0], nullptr, 16);
        const unsigned target = std::stoul(fields[12], nullptr, 16);
        if (code <= 0xFFFF && target <= 0xFFFF) upper[code] = target;
    }
    return upper;
}

}  // namespace

TEST(UpperCaseTest, EveryUnitFoldsAsTheUnicodeDataSays) {
    const std::map<unsigned, unsigned> upper = simple_uppercase_from_data();
    ASSERT_GT(upper.size(), 1000u) << "install the package unicode-data";
    for (unsigned u = 0; u <= 0xFFFF; ++u) {
        const auto found = upper.find(u);
        const unsigned expected = found == upper.end() ? u : found->second;
        ASSERT_EQ(upper_case_unit(static_cast<char16_t>(u)), expected) << std::hex << "U+" << u;
    }
}

// Names that Windows folds to one and a C locale does not, and the letters
// whose upper case is not one unit of their own.
TEST(UpperCaseTest, FoldsWhatWindowsFoldsAndKeepsTheRest) {
    const struct {
        char16_t unit, upper;
    } rows[] = {
        {u'a', u'A'},
        {u'Z', u'Z'},
        {u'1', u'1'},
        {u'\u00e9', u'\u00c9'},                // é
        {u'\u00ff', u'\u0178'},                // ÿ, far from its capital
        {u'\u0101', u'\u0100'},                // ā, in a run of every other unit
        {u'\u0100', u'\u0100'},                // Ā, between them
        {u'\u03c3', u'\u03a3'},                // σ
        {u'\u03c2', u'\u03a3'},                // final ς
        {u'\u044f', u'\u042f'},                // я
        {u'\uff41', u'\uff21'},                // fullwidth a
        {u'\u00df', u'\u00df'},                // ß: its upper case is two letters
        {u'\u0131', u'I'},                     // dotless ı, as the simple mapping has it
        {u'\u0130', u'\u0130'},                // İ
        {u'\u01c5', u'\u01c4'},                // the title case Dž
        {u'\u4e2d', u'\u4e2d'},                // no case
        {char16_t(0xD801), char16_t(0xD801)},  // half a pair of Deseret, which has case
        {u'\uffff', u'\uffff'},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(upper_case_unit(r.unit), r.upper) << std::hex << "U+" << unsigned(r.unit);
    }
}

// Keywords are ASCII: a letter that upper-cases to ASCII is not one of theirs.
TEST(UpperCaseTest, KeywordsMatchAsciiOnly) {
    EXPECT_EQ(template_grammar::lookup_keyword(u"app_Dir"), template_grammar::keyword::app_dir);
    EXPECT_EQ(template_grammar::lookup_keyword(u"p\u0131d"), template_grammar::keyword::unknown);
    EXPECT_EQ(template_grammar::lookup_keyword(u"program_ba\u017fe"),
              template_grammar::keyword::unknown);
}

// The builder asks no locale: in the C locale, where towupper folds only
// ASCII, É.txt and é.txt are still one file on Windows.
TEST(UpperCaseTest, BuilderRefusesAnAccentedCaseClashInTheCLocale) {
    scratch_folder work;
    write_file(work / "app/run.exe", fake_windows_program());
    write_file(work / "app/\xc3\x89.txt", "capital");
    write_file(work / "app/\xc3\xa9.txt", "small");
    std::string err;
    EXPECT_NE(run_host({"/usr/bin/env", "-u", "LANG", "-u", "LC_CTYPE", "LC_ALL=C", fenwix_tool(),
                        "build", work / "app", "-o", work / "out.exe"},
                       &err),
              0);
    EXPECT_NE(err.find("only in case"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(work / "out.exe"));
}
