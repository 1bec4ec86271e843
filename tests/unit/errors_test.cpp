// Failure reporting: the system-error line against what the running system's
// FormatMessage returns, the text helpers, and how each way of ending exits.
#include "launcher/base/errors.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Runs fn with standard error sent to a file; returns what reached the file.
template <typename Fn>
std::string capture_stderr(Fn fn) {
    char folder[MAX_PATH];
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "err", 0, path);
    fflush(stderr);
    const int saved = _dup(_fileno(stderr));
    const int fd = _open(path, _O_WRONLY | _O_TRUNC | _O_TEXT);
    _dup2(fd, _fileno(stderr));
    _close(fd);
    fn();
    fflush(stderr);
    _dup2(saved, _fileno(stderr));
    _close(saved);
    std::string text;
    if (FILE* f = fopen(path, "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
    }
    DeleteFileA(path);
    return text;
}

// The raw US-English system text for a code, or empty when there is none.
std::string system_text(DWORD code) {
    char* text = nullptr;
    const DWORD n =
        FormatMessageA(0x1300, nullptr, code, 0x409, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : std::string();
    LocalFree(text);
    return out;
}

std::string without_line_ends(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
}

TEST(SystemErrorLineTest, Code112CarriesTheSystemTextWithoutItsLineEnd) {
    const std::string raw = system_text(112);
    ASSERT_FALSE(raw.empty()) << "the system has no text for code 112";
    ASSERT_TRUE(raw.back() == '\n' || raw.back() == '\r') << "expected a line end to trim";
    const std::string line = capture_stderr(
        [] { print_system_error("Error, couldn't unpack file to target path.", 112); });
    // Standard error is in text mode: the line feed arrives as CR LF.
    EXPECT_EQ(line, "Error, couldn't unpack file to target path. ([Error 112] " +
                        without_line_ends(raw) + ")\r\n");
}

TEST(SystemErrorLineTest, CodesFrom0x80000000ArePrintedNegative) {
    for (DWORD code : {0x80000000u, 0x80070005u, 0xC0000409u}) {
        const std::string line = capture_stderr([&] { print_system_error("M", code); });
        const std::string number = std::to_string(static_cast<long>(static_cast<int32_t>(code)));
        EXPECT_EQ(line.rfind("M ([Error " + number + "]", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 3), ")\r\n");
        const std::string raw = system_text(code);
        if (!raw.empty()) {
            EXPECT_NE(line.find(without_line_ends(raw)), std::string::npos);
        }
    }
}

TEST(SystemErrorLineTest, InsertMarkersAreLeftAsTheyAre) {
    const std::string raw = system_text(193);
    if (raw.find('%') == std::string::npos) GTEST_SKIP() << "no insert in this system's text";
    const std::string line = capture_stderr([] { print_system_error("M", 193); });
    EXPECT_EQ(line, "M ([Error 193] " + without_line_ends(raw) + ")\r\n");
}

TEST(SystemErrorLineTest, CodeWithoutSystemTextStillGivesAWholeLine) {
    const DWORD code = 0x2000FFFF;  // customer bit set: no system text
    ASSERT_TRUE(system_text(code).empty());
    const std::string line = capture_stderr([&] { print_system_error("M", code); });
    EXPECT_EQ(line, "M ([Error 536936447])\r\n");
}

TEST(TrimLineEndsTest, RemovesEveryTrailingCrAndLfAndNothingElse) {
    struct row {
        const wchar_t* in;
        const wchar_t* out;
    } rows[] = {
        {L"Disk full.\r\n", L"Disk full."},
        {L"two\r\n\r\n", L"two"},
        {L"mixed\n\r\n\r", L"mixed"},
        {L"blank \r\n", L"blank "},
        {L"inner\r\nline", L"inner\r\nline"},
        {L"\r\n", L""},
        {L"", L""},
        {L"dot.", L"dot."},
    };
    for (const row& r : rows) {
        wchar_t buf[64];
        wcscpy(buf, r.in);
        const size_t n = trim_line_ends(buf, wcslen(buf));
        EXPECT_STREQ(buf, r.out) << r.in;
        EXPECT_EQ(n, wcslen(r.out));
    }
}

TEST(EndingDeathTest, ReportedFailuresExitWithCode2) {
    EXPECT_EXIT(report_failure("Error, x."), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(fail_header(), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(fail_decode(), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(fail_alloc(), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(fail_unpack(112), ::testing::ExitedWithCode(2),
                "Error, couldn't unpack file to target path\\. \\(\\[Error 112\\] ");
    EXPECT_EXIT(fail_launch(2), ::testing::ExitedWithCode(2),
                "Error, couldn't launch child \\(\\[Error 2\\] ");
}

// Every character of the path reaches a redirected stream (as UTF-8), and
// the error of the call that failed comes with it.
TEST(EndingDeathTest, OpenForWritingMessageKeepsThePathAndTheErrorCode) {
    EXPECT_EXIT(
        {
            SetLastError(ERROR_ACCESS_DENIED);
            fail_open_for_writing(L"C:\\t\u00e9st\\\u4e2d.exe");
        },
        ::testing::ExitedWithCode(2),
        "^Error, failed to open 'C:\\\\t\xc3\xa9st\\\\\xe4\xb8\xad\\.exe' for writing\\. "
        "\\(\\[Error 5\\] .+\\)\r?\n$");
}

// The status an abnormal end gives on this system: the fail-fast status where
// the system offers that service, else 3.
int abnormal_status() {
    return IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE) ? static_cast<int>(0xC0000409) : 3;
}

TEST(EndingDeathTest, AbnormalEndWritesNothingAndGivesTheAbnormalStatus) {
    EXPECT_EXIT(
        {
            puts("buffered output must not be flushed");
            abnormal_end();
        },
        ::testing::ExitedWithCode(abnormal_status()), "^$");
}

TEST(EndingDeathTest, TemplateExpansionFailureReportsThenEndsAbnormally) {
    EXPECT_EXIT(fail_template_expansion(L"{FOO}\\x"), ::testing::ExitedWithCode(abnormal_status()),
                "^Error, couldn't runtime expand spec '\\{FOO\\}\\\\x'\\.\r?\n$");
}

// Only an in-page error inside the launcher's own image is the block that
// cannot be read; any other exception goes on to its usual end.
TEST(UnreadablePageTest, OnlyAnInPageErrorInTheImageCounts) {
    static unsigned char memory[80];
    const unsigned char* image = memory + 8;  // 64 bytes of it, with room around
    const struct {
        DWORD code;
        DWORD parameters;
        const unsigned char* address;
        bool counts;
    } cases[] = {
        {EXCEPTION_IN_PAGE_ERROR, 3, image + 10, true},
        {EXCEPTION_IN_PAGE_ERROR, 3, image + 64, false},  // just past its end
        {EXCEPTION_IN_PAGE_ERROR, 3, image - 1, false},
        {EXCEPTION_ACCESS_VIOLATION, 2, image + 10, false},
        {EXCEPTION_IN_PAGE_ERROR, 1, image + 10, false},  // no address given
    };
    for (const auto& c : cases) {
        EXCEPTION_RECORD record = {};
        record.ExceptionCode = c.code;
        record.NumberParameters = c.parameters;
        record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(c.address);
        EXPECT_EQ(is_unreadable_page_in(&record, image, image + 64), c.counts)
            << c.code << " at " << c.address - image;
    }
}

// The guard acts only on the thread that reads the block, and only while it
// reads it: an in-page error on another thread, or once the program runs,
// goes on to the next handler (here one that exits 5).
constexpr int passed_on = 5;
LONG WINAPI exit_passed_on(EXCEPTION_POINTERS*) { ExitProcess(passed_on); }

void raise_in_page_at(const unsigned char* address) {
    const ULONG_PTR parameters[] = {0, reinterpret_cast<ULONG_PTR>(address), 0};
    RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 3, parameters);
}

DWORD WINAPI raise_in_page_thread(void* address) {
    raise_in_page_at(static_cast<const unsigned char*>(address));
    return 0;
}

TEST(UnreadablePageDeathTest, OnlyTheReadingThreadWhileItReadsGetsTheDecodeFailure) {
    static unsigned char block[64];
    const auto guarded = [](bool on_other_thread, bool ended) {
        AddVectoredExceptionHandler(0, exit_passed_on);
        guard_block_reads(block, block + sizeof block);
        if (ended) end_block_read_guard();
        if (on_other_thread) {
            HANDLE thread = CreateThread(nullptr, 0, raise_in_page_thread, block + 8, 0, nullptr);
            WaitForSingleObject(thread, INFINITE);
        } else {
            raise_in_page_at(block + 8);
        }
        ExitProcess(0);
    };
    EXPECT_EXIT(guarded(false, false), ::testing::ExitedWithCode(2), "");  // the decode failure
    EXPECT_EXIT(guarded(true, false), ::testing::ExitedWithCode(passed_on), "");
    EXPECT_EXIT(guarded(false, true), ::testing::ExitedWithCode(passed_on), "");
}

}  // namespace
