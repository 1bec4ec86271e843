// The child's command line against the system's own splitter, and the
// grace-then-terminate step with real child processes.
#include "launcher/child.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using args = std::vector<std::wstring>;

// What a child gets back: our line, split by CommandLineToArgvW.
args round_trip(const args& in) {
    std::vector<wchar_t*> argv;
    for (const std::wstring& a : in) argv.push_back(const_cast<wchar_t*>(a.c_str()));
    static wchar_t line[command_line_capacity];
    EXPECT_TRUE(
        join_arguments(line, command_line_capacity, argv.data(), static_cast<int>(argv.size())));
    int argc = 0;
    wchar_t** split = CommandLineToArgvW(line, &argc);
    args out(split, split + argc);
    LocalFree(split);
    return out;
}

std::wstring quoted(const wchar_t* argument) {
    wchar_t line[256] = L"";
    EXPECT_TRUE(append_argument(line, 256, argument));
    return line;
}

TEST(CommandLineTest, QuotesOnlyWhenAQuotingCharacterIsPresent) {
    EXPECT_EQ(quoted(L"plain"), L"plain");
    EXPECT_EQ(quoted(L"\\\\server\\share\\dir\\"), L"\\\\server\\share\\dir\\");  // UNC as is
    EXPECT_EQ(quoted(L""), L"\"\"");  // kept, so later arguments keep their places
    EXPECT_EQ(quoted(L"two words"), L"\"two words\"");
    EXPECT_EQ(quoted(L"tab\there"), L"\"tab\there\"");
    EXPECT_EQ(quoted(L"v\vt"), L"\"v\vt\"");
    EXPECT_EQ(quoted(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(quoted(L"a\\\\\"b"), L"\"a\\\\\\\\\\\"b\"");  // two backslashes, quote
    EXPECT_EQ(quoted(L"dir with\\"), L"\"dir with\\\\\"");  // trailing backslash doubled
    EXPECT_EQ(quoted(L"a\\b c"), L"\"a\\b c\"");            // inner backslash as is
}

TEST(CommandLineTest, EveryArgumentSurvivesTheSplitterEmptyOnesIncluded) {
    const args tricky = {
        L"C:\\Program Files\\Tool\\tool.exe",
        L"",
        L"x",
        L"two words",
        L"\"",
        L"\\",
        L"\\\\",
        L"a\\\"b",
        L"a\\\\\"b",
        L"end\\",
        L"end with space\\\\",
        L"\\\\server\\share\\path with space\\",
        L"line\nfeed",
        L"vertical\vtab",
        L"\t",
        L"\u00e9\u4e2d\U0001F600",
        L"\"\"",
        L"{}[]()%!^&|<>",
    };
    EXPECT_EQ(round_trip(tricky), tricky);
}

TEST(CommandLineTest, GeneratedArgumentVectorsRoundTrip) {
    const wchar_t alphabet[] = {L'a',  L' ',  L'\t',     L'\n',     L'\v', L'"', L'\\',
                                L'\\', L'\\', L'\u00e9', L'\u4e2d', L'/',  L'-', L'='};
    std::mt19937 rng(20261208);
    for (int round = 0; round < 3000; ++round) {
        args in = {L"C:\\launcher dir\\app.exe"};
        const int count = static_cast<int>(rng() % 6);
        for (int i = 0; i < count; ++i) {
            std::wstring a;
            const int length = static_cast<int>(rng() % 9);
            for (int k = 0; k < length; ++k)
                a += alphabet[rng() % (sizeof alphabet / sizeof alphabet[0])];
            in.push_back(a);
        }
        ASSERT_EQ(round_trip(in), in) << "round " << round;
    }
}

TEST(CommandLineTest, LineThatDoesNotFitIsRefusedAndLeftWhole) {
    wchar_t line[8] = L"ab";
    EXPECT_FALSE(append_argument(line, 8, L"c d e f"));  // quoted: 9 units
    EXPECT_STREQ(line, L"ab");
    EXPECT_TRUE(append_argument(line, 8, L"cdefg"));  // 7 units and the terminator
    EXPECT_STREQ(line, L"abcdefg");
    wchar_t* three[] = {const_cast<wchar_t*>(L"aa"), const_cast<wchar_t*>(L"bb"),
                        const_cast<wchar_t*>(L"cc")};
    wchar_t exact[9];
    EXPECT_TRUE(join_arguments(exact, 9, three, 3));
    EXPECT_STREQ(exact, L"aa bb cc");
    EXPECT_FALSE(join_arguments(exact, 8, three, 3));
}

TEST(CommandLineTest, FirstArgumentBecomesTheLaunchersLongPath) {
    wchar_t module[4096];
    GetModuleFileNameW(nullptr, module, 4096);
    int argc = 0;
    wchar_t** split = CommandLineToArgvW(build_child_command_line(), &argc);
    ASSERT_GE(argc, 1);
    EXPECT_STREQ(split[0], module);
}

// A probe child from the test harness folder, started suspended-free with
// the given mode; returns its process handle.
HANDLE start_probe(const wchar_t* mode, const wchar_t* exit_code = L"0") {
    wchar_t path[4096];
    GetModuleFileNameW(nullptr, path, 4096);
    std::wstring probe(path);
    probe.resize(probe.rfind(L'\\'));
    probe.resize(probe.rfind(L'\\'));
    probe += L"\\harness\\probe_child.exe";
    SetEnvironmentVariableW(L"PROBE_MODE", mode);
    SetEnvironmentVariableW(L"PROBE_EXIT", exit_code);
    std::wstring line = L"probe_child";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    // Wine now and then refuses a start (ERROR_INTERNAL_ERROR) while many
    // programs start at once, as the tests do: a few tries, as the exit-code
    // harness makes.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) Sleep(200);
        started = CreateProcessW(probe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &child) != FALSE;
    }
    EXPECT_TRUE(started) << GetLastError();
    CloseHandle(child.hThread);
    return child.hProcess;
}

HANDLE duplicate(HANDLE process) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

DWORD exit_code_of(HANDLE process) {
    WaitForSingleObject(process, 10000);
    DWORD code = 12345;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

TEST(CleanupChildTest, ChildThatEndsInTheGracePeriodIsNotKilled) {
    HANDLE child = start_probe(L"", L"7");
    record_child_for_cleanup(duplicate(child));
    const ULONGLONG start = GetTickCount64();
    cleanup_child();
    EXPECT_LT(GetTickCount64() - start, 4000u);
    EXPECT_EQ(exit_code_of(child), 7u);
    cleanup_child();  // nothing recorded any more: returns at once
}

TEST(CleanupChildTest, ChildStillRunningAfterTheGracePeriodIsTerminatedWithCode0) {
    HANDLE child = start_probe(L"ignore-ctrl-c");
    record_child_for_cleanup(duplicate(child));
    const ULONGLONG start = GetTickCount64();
    cleanup_child();
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 4900u);
    EXPECT_LT(waited, 9000u);
    EXPECT_EQ(exit_code_of(child), 0u);
}

class ConsoleEventTest : public ::testing::TestWithParam<DWORD> {};

// The events Wine cannot deliver from outside, passed to the handler directly.
TEST_P(ConsoleEventTest, HandlerGivesTheGracePeriodThenTerminatesAndReturnsFalse) {
    HANDLE child = start_probe(L"ignore-ctrl-c");
    record_child_for_cleanup(duplicate(child));
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(console_control_handler(GetParam()));
    EXPECT_GE(GetTickCount64() - start, 4900u);
    EXPECT_EQ(exit_code_of(child), 0u);
}

INSTANTIATE_TEST_SUITE_P(Events, ConsoleEventTest,
                         ::testing::Values(CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
                                           CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT));

TEST(ConsoleEventTest, OtherEventsLeaveTheChildAlone) {
    HANDLE child = start_probe(L"", L"9");
    record_child_for_cleanup(duplicate(child));
    EXPECT_FALSE(console_control_handler(3));
    EXPECT_FALSE(console_control_handler(4));
    cleanup_child();  // the record was untouched: the child is still found here
    EXPECT_EQ(exit_code_of(child), 9u);
}

TEST(ConsoleEventTest, WithoutAChildTheHandlerOnlyReturnsFalse) {
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(console_control_handler(CTRL_C_EVENT));
    EXPECT_LT(GetTickCount64() - start, 1000u);
}

}  // namespace
