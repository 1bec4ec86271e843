// Template expansion: the scanner, the keyword values, the two kinds of
// overflow, and the values cached in the environment.
#include "launcher/template.h"
#include "launcher/launch_line.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr std::size_t cap = 4096;

// Expands with the given capacity; returns the output, or "(failed)".
std::wstring expand(const wchar_t* text, std::size_t capacity = cap) {
    static wchar_t out[cap];
    return expand_template(out, text, capacity) ? std::wstring(out) : std::wstring(L"(failed)");
}

std::wstring shell_folder(int id) {
    wchar_t path[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathW(nullptr, id, nullptr, 0, path), S_OK);
    return path;
}

std::wstring temp_folder() {
    wchar_t path[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, path);
    std::wstring s(path);
    while (!s.empty() && s.back() == L'\\') s.pop_back();
    return s;
}

std::wstring module_path() {
    wchar_t path[cap];
    GetModuleFileNameW(nullptr, path, cap);
    return path;
}

TEST(TemplateScannerTest, LiteralsKeywordsAndOddBraces) {
    EXPECT_EQ(expand(L"", 1), L"");
    EXPECT_EQ(expand(L"plain\\text"), L"plain\\text");
    EXPECT_EQ(expand(L"abc{TEMP"), L"abc");          // open keyword dropped
    EXPECT_EQ(expand(L"{AB{TEMP}"), temp_folder());  // "{" restarts the name
    EXPECT_EQ(expand(L"a}b"), L"a}b");               // stray "}" is a literal
    EXPECT_EQ(expand(L"{PRODUCT}-{VERSION}"), L"Orvelle-1.26.0.0");
    EXPECT_EQ(expand(L"{}"), L"(failed)");
    EXPECT_EQ(expand((L"{" + std::wstring(1024, L'A') + L"}").c_str()), L"(failed)");
}

TEST(TemplateScannerTest, UnknownKeywordFailsEvenAfterLiteralText) {
    EXPECT_EQ(expand(L"C:\\x\\{FOO}"), L"(failed)");
    EXPECT_EQ(expand(L"{PRODUCT}{FOO}"), L"(failed)");
    EXPECT_EQ(lookup_keyword(L"PROGRAM_BASE"), keyword::program_base);
    EXPECT_EQ(lookup_keyword(L"TIME"), keyword::time);
    EXPECT_EQ(lookup_keyword(L"TIME_U"), keyword::unknown);
    EXPECT_EQ(lookup_keyword(L"\u0130ME"), keyword::unknown);  // only ASCII folds
}

TEST(TemplateScannerTest, KeywordNamesIgnoreAsciiCase) {
    const std::wstring expected = shell_folder(CSIDL_LOCAL_APPDATA) + L"\\Orvelle";
    EXPECT_EQ(expand(L"{CACHE_DIR}\\Orvelle"), expected);
    EXPECT_EQ(expand(L"{cache_dir}\\Orvelle"), expected);
    EXPECT_EQ(expand(L"{Cache_Dir}\\Orvelle"), expected);
    EXPECT_EQ(expand(L"{company}|{Product}|{file_version}|{PRODUCT_version}"),
              L"Quenmar Ltd|Orvelle|1.26.0.0|1.26.0.0");
}

TEST(TemplateValuesTest, FoldersLoseTrailingBackslashes) {
    EXPECT_EQ(expand(L"{TEMP}"), temp_folder());
    EXPECT_NE(expand(L"{TEMP}").back(), L'\\');
    EXPECT_EQ(expand(L"{HOME}"), shell_folder(CSIDL_PROFILE));
    // The rule looks at the whole output, not only the value.
    EXPECT_EQ(expand(L"x\\\\{PRODUCT}"), L"x\\\\Orvelle");
    wchar_t root[] = L"X:\\";
    strip_trailing_backslashes(root);
    EXPECT_STREQ(root, L"X:");
    wchar_t many[] = L"a\\b\\\\\\";
    strip_trailing_backslashes(many);
    EXPECT_STREQ(many, L"a\\b");
}

TEST(TemplateValuesTest, ProgramBaseAndProgramDirCutTheLauncherPath) {
    const std::wstring program = module_path();
    EXPECT_EQ(expand(L"{PROGRAM}"), program);
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), program.substr(0, program.size() - 4));
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), program.substr(0, program.rfind(L'\\')));
    EXPECT_EQ(expand(L"pre\\{PROGRAM_DIR}"), L"pre\\" + program.substr(0, program.rfind(L'\\')));

    struct row {
        const wchar_t* path;
        const wchar_t* base;
        const wchar_t* dir;
    } rows[] = {
        {L"X:\\Apps\\Tool.EXE", L"X:\\Apps\\Tool", L"X:\\Apps"},
        {L"X:\\Apps\\Tool.exe", L"X:\\Apps\\Tool", L"X:\\Apps"},
        {L"X:\\Apps\\Tool.eXe", L"X:\\Apps\\Tool", L"X:\\Apps"},
        {L"X:\\Apps\\Tool.com", L"X:\\Apps\\Tool.com", L"X:\\Apps"},
        {L"X:\\Apps\\Tool", L"X:\\Apps\\Tool", L"X:\\Apps"},
        {L".exe", L"", L".exe"},
        {L"exe", L"exe", L"exe"},
    };
    for (const row& r : rows) {
        wchar_t base[64];
        wchar_t dir[64];
        wcscpy(base, r.path);
        wcscpy(dir, r.path);
        cut_exe_ending(base);
        cut_at_last_backslash(dir);
        EXPECT_STREQ(base, r.base) << r.path;
        EXPECT_STREQ(dir, r.dir) << r.path;
    }
}

TEST(TemplateValuesTest, PidComesFromTheParentVariableOrThisProcess) {
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_PARENT", L"1234");
    EXPECT_EQ(expand(L"{PID}"), L"1234");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_PARENT", nullptr);
    EXPECT_EQ(expand(L"{PID}"), std::to_wstring(GetCurrentProcessId()));
    EXPECT_TRUE(is_decimal_text(L"0123456789"));
    EXPECT_FALSE(is_decimal_text(L"12a"));
    EXPECT_FALSE(is_decimal_text(L"\u00b2"));  // superscript two is no digit here
    EXPECT_FALSE(is_decimal_text(L"\u0663"));  // nor is Arabic-Indic three
}

TEST(TemplateValuesDeathTest, ParentVariableThatIsNoNumberEndsTheProcess) {
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_PARENT", L"12a");
    EXPECT_DEATH(expand(L"{PID}"), "");
}

TEST(TemplateCacheTest, TimeAndRandomRepeatWithinARunAndReachTheEnvironment) {
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_START", nullptr);
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_RANDOM", nullptr);
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_TIME_US", nullptr);
    const std::wstring times = expand(L"{TIME}-{TIME}");
    const std::wstring time = times.substr(0, times.find(L'-'));
    EXPECT_EQ(times, time + L"-" + time);
    EXPECT_EQ(time.size(), 18u);
    const std::wstring randoms = expand(L"{RANDOM}{RANDOM}");
    ASSERT_EQ(randoms.size(), 22u);
    EXPECT_EQ(randoms.substr(0, 11), randoms.substr(11));
    EXPECT_EQ(randoms.find_first_not_of(
                  L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::wstring::npos);
    const std::wstring us = expand(L"{TIME_US}");
    EXPECT_EQ(us.size(), 6u);
    EXPECT_EQ(expand(L"{TIME_US}"), us);
    wchar_t value[64];
    ASSERT_NE(GetEnvironmentVariableW(L"FENWIX_ONEFILE_RANDOM", value, 64), 0u);
    EXPECT_EQ(std::wstring(value), randoms.substr(0, 11));
    ASSERT_NE(GetEnvironmentVariableW(L"FENWIX_ONEFILE_START", value, 64), 0u);
    EXPECT_EQ(std::wstring(value), time);
}

TEST(TemplateCacheTest, CachedValuesAreUsedAsTheyStand) {
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_START", L"whatever");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_RANDOM", L"not checked");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_TIME_US", L"000042");
    EXPECT_EQ(expand(L"{TIME}|{RANDOM}|{TIME_US}"), L"whatever|not checked|000042");
}

TEST(RandomTextTest, SeedOneGivesTheKnownBytesAndText) {
    unsigned char drawn[8];
    draw_random_bytes(1, drawn);
    const unsigned char expected[8] = {0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(drawn[i], expected[i]) << i;
    wchar_t text[12];
    encode_random_text(drawn, text);
    EXPECT_STREQ(text, L"IQHFT9HQGrI");
}

TEST(RandomTextTest, SeedMixesItsSourcesAndNeverIsZero) {
    EXPECT_EQ(random_seed(0, 0, 0), 1u);
    EXPECT_EQ(random_seed(0x0000000500000003ull, 6, 0), 1u);  // 3 ^ 5 ^ 6 == 0
    EXPECT_EQ(random_seed(0x1ull << 32, 0, 0x100000000ull), 1u);
    EXPECT_EQ(random_seed(0x10, 0x01, 0x0000000200000000ull), 0x13u);
}

TEST(TimeTest, MicrosecondsWithinTheSecond) {
    const std::int64_t second = 133'000'000'000'000'000;  // a whole second in 100 ns units
    EXPECT_EQ(microseconds_within_second(second + 420), 42);
    EXPECT_EQ(microseconds_within_second(second + 425), 42);
    EXPECT_EQ(microseconds_within_second(second + 9'999'999), 999999);
    EXPECT_EQ(microseconds_within_second(second), 0);
    wchar_t text[16];
    swprintf(text, 16, L"%06ld", microseconds_within_second(second + 420));
    EXPECT_STREQ(text, L"000042");
}

TEST(TemplateOverflowTest, LiteralThatDoesNotFitFails) {
    EXPECT_EQ(expand(L"abc", 4), L"abc");
    EXPECT_EQ(expand(L"abcd", 4), L"(failed)");
    EXPECT_EQ(expand(L"a", 1), L"(failed)");
    EXPECT_EQ(expand(L"{PRODUCT}x", 8), L"(failed)");  // value fits exactly, the literal does not
    EXPECT_EQ(expand(L"{PRODUCT}", 8), L"Orvelle");
}

TEST(TemplateOverflowDeathTest, ValueThatDoesNotFitEndsTheProcess) {
    EXPECT_DEATH(expand(L"{PRODUCT}", 7), "");
    EXPECT_DEATH(expand(L"ab{COMPANY}", 12), "");
    EXPECT_DEATH(expand(L"{CACHE_DIR}", 4), "");
}

TEST(TemplateOverflowTest, TempThatDoesNotFitFailsTheExpansion) {
    EXPECT_EQ(expand(L"{TEMP}", 4), L"(failed)");
}

}  // namespace

// Launch-line values: keywords, {APP_DIR} once it is known, and "%NAME%"
// only in the vendor's own text and only for variables.
TEST(LaunchValueTest, KeywordsAppDirAndVariables) {
    SetEnvironmentVariableW(L"LV_SET", L"set {HOME} %LV_SET%");
    SetEnvironmentVariableW(L"LV_MISSING", nullptr);
    static wchar_t out[cap];
    EXPECT_EQ(expand_launch_value(out, cap, L"{APP_DIR}", false), expansion::failed);
    know_app_folder(L"C:\\Apps\\Tool");
    const std::wstring home = shell_folder(CSIDL_PROFILE);
    const struct {
        const wchar_t* text;
        bool with_variables;
        std::wstring expected;
    } cases[] = {
        {L"{APP_DIR}\\app\\main.js", false, L"C:\\Apps\\Tool\\app\\main.js"},
        {L"%LV_SET%", false, L"%LV_SET%"},                // arguments take no variables
        {L"[%LV_SET%]", true, L"[set {HOME} %LV_SET%]"},  // a value is not expanded again
        {L"[%LV_MISSING%]", true, L"[]"},
        {L"100%% %%", true, L"100% %"},
        {L"50% off", true, L"50% off"},  // no closing "%": kept
        {L"%{APP_DIR}%LV_SET%", true, L"%C:\\Apps\\Tool" + std::wstring(L"set {HOME} %LV_SET%")},
        {L"{HOME};%lv_set%", true, home + L";set {HOME} %LV_SET%"},  // names without case
    };
    for (const auto& c : cases) {
        EXPECT_EQ(expand_launch_value(out, cap, c.text, c.with_variables), expansion::done)
            << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(std::wstring(out), c.expected) << testing::PrintToString(std::wstring(c.text));
    }
    EXPECT_EQ(expand_launch_value(out, 8, L"0123%%4567", true), expansion::too_long);
}
