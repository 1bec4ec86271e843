// The program's command line against the system's own splitter, and the
// decisions of its start and of console events.
#include "launcher/child.h"
#include "launcher/session_window.h"

#include "format/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cwchar>
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

// The user's tail is what follows the launcher's name by the rule Windows
// uses for a line's first argument; the program's line puts it after the
// launcher's quoted path and the fixed arguments, and CommandLineToArgvW
// then splits it as it split the launcher's own line.
TEST(ProgramLineTest, TheTailGoesOnExactlyAndSplitsAsTheLaunchersOwnLineDid) {
    const struct {
        const wchar_t* launcher_line;
        const wchar_t* tail;
    } rows[] = {
        {L"tool.exe", L""},
        {L"tool.exe -c \"print(\"\"hello world\"\")\"", L" -c \"print(\"\"hello world\"\")\""},
        {L"\"C:\\My Tools\\tool.exe\" \"a\"\"b c\"", L" \"a\"\"b c\""},
        {L"\"tool.exe\" \"\"\"a b\"\"\"", L" \"\"\"a b\"\"\""},
        {L"tool.exe\ta\\\\\"b\\\" \"\"  ", L"\ta\\\\\"b\\\" \"\"  "},
        {L"\"C:\\a b\\tool.exe\"x y", L"x y"},               // no blank after the closing quote
        {L"C:\\a\"b c\"\\tool.exe d", L" c\"\\tool.exe d"},  // a quote inside: ends at the blank
        {L"\"unclosed name", L""},
        {L" leading", L" leading"},  // an empty name
        {L"tool.exe \u00e9\u4e2d\U0001F600 \"\"", L" \u00e9\u4e2d\U0001F600 \"\""},
    };
    const wchar_t* fixed[] = {L"{APP_DIR}\\main.js", L"two words"};
    for (const auto& row : rows) {
        const wchar_t* tail = command_line::after_program_name(row.launcher_line);
        EXPECT_STREQ(tail, row.tail) << row.launcher_line;
        int launcher_argc = 0;
        wchar_t** launcher_argv = CommandLineToArgvW(row.launcher_line, &launcher_argc);
        for (std::size_t fixed_count : {0, 2}) {
            static wchar_t line[command_line_capacity];
            ASSERT_TRUE(start_program_line(line, command_line_capacity, L"C:\\Apps\\Tool.exe"));
            for (std::size_t i = 0; i < fixed_count; ++i) {
                ASSERT_TRUE(append_fixed_argument(line, command_line_capacity, fixed[i]));
            }
            ASSERT_TRUE(append_user_tail(line, command_line_capacity, tail, fixed_count > 0));
            int argc = 0;
            wchar_t** argv = CommandLineToArgvW(line, &argc);
            args expected = {L"C:\\Apps\\Tool.exe"};
            expected.insert(expected.end(), fixed, fixed + fixed_count);
            // A name followed at once by text splits differently; the
            // program then sees what a direct start with that line gives.
            if (row.tail[0] == L' ' || row.tail[0] == L'\t' || fixed_count > 0) {
                expected.insert(expected.end(), launcher_argv + 1, launcher_argv + launcher_argc);
                EXPECT_EQ(args(argv, argv + argc), expected) << line;
            }
            // The tail is the line's end, unit for unit.
            const std::size_t length = wcslen(line), tail_length = wcslen(tail);
            ASSERT_GE(length, tail_length);
            EXPECT_STREQ(line + length - tail_length, tail) << line;
            LocalFree(argv);
        }
        LocalFree(launcher_argv);
    }
}

TEST(ProgramLineTest, AStepThatDoesNotFitLeavesTheLineAsItWas) {
    wchar_t line[12];
    EXPECT_FALSE(start_program_line(line, 12, L"C:\\abcdefg"));  // 13 units with the quotes
    ASSERT_TRUE(start_program_line(line, 12, L"C:\\abcdef"));    // 12 with the terminator
    EXPECT_STREQ(line, L"\"C:\\abcdef\"");
    wchar_t more[16];
    ASSERT_TRUE(start_program_line(more, 16, L"C:\\a"));
    EXPECT_FALSE(append_fixed_argument(more, 16, L"a b c d"));
    EXPECT_STREQ(more, L"\"C:\\a\"");
    EXPECT_FALSE(append_user_tail(more, 16, L"x y z w v", true));
    EXPECT_STREQ(more, L"\"C:\\a\"");
    EXPECT_TRUE(append_user_tail(more, 16, L"x y z w v", false));  // 15 units
    EXPECT_STREQ(more, L"\"C:\\a\"x y z w v");
}

// What the program gets of the start the user made for the launcher.
TEST(ProgramStartTest, TheUsersStartIsHandedOnWithTheStandardHandles) {
    const HANDLE in = reinterpret_cast<HANDLE>(0x10), out = reinterpret_cast<HANDLE>(0x14),
                 err = reinterpret_cast<HANDLE>(0x18), hotkey = reinterpret_cast<HANDLE>(0x0742);
    wchar_t title[] = L"C:\\Users\\me\\Desktop\\Tool.lnk";
    const DWORD window_flags = STARTF_USESHOWWINDOW | STARTF_TITLEISLINKNAME |
                               STARTF_UNTRUSTEDSOURCE | STARTF_USEPOSITION | STARTF_USESIZE;
    const struct {
        DWORD flags;
        HANDLE received_input;
        standard_handles handles;
        bool detached;
        DWORD expected_flags;
        HANDLE expected_input;
    } rows[] = {
        {window_flags, nullptr, {in, out, err}, false, window_flags | STARTF_USESTDHANDLES, in},
        {0, nullptr, {nullptr, nullptr, nullptr}, false, 0, nullptr},
        {0, nullptr, {nullptr, out, nullptr}, true, STARTF_USESTDHANDLES, nullptr},
        // Its own handles given by its starter: the launcher's are the same.
        {STARTF_USESTDHANDLES, in, {in, out, err}, false, STARTF_USESTDHANDLES, in},
        // A hotkey (or a monitor) holds the input handle's place.
        {STARTF_USEHOTKEY | STARTF_USESHOWWINDOW,
         hotkey,
         {in, out, err},
         false,
         STARTF_USEHOTKEY | STARTF_USESHOWWINDOW,
         hotkey},
        {0x400, hotkey, {in, out, err}, false, 0x400, hotkey},
    };
    for (const auto& row : rows) {
        STARTUPINFOW received = {};
        received.cb = sizeof received;
        received.dwFlags = row.flags;
        received.hStdInput = row.received_input;
        received.lpTitle = title;
        received.wShowWindow = SW_SHOWMINNOACTIVE;
        received.dwX = 11;
        received.dwY = 12;
        received.dwXSize = 640;
        received.dwYSize = 480;
        received.cbReserved2 = 4;  // the starter's C runtime handles are not the program's
        const program_start start = decide_program_start(received, row.handles, row.detached);
        const STARTUPINFOW& s = start.startup;
        EXPECT_EQ(s.cb, sizeof(STARTUPINFOW));
        EXPECT_EQ(s.dwFlags, row.expected_flags) << row.flags;
        EXPECT_EQ(s.hStdInput, row.expected_input) << row.flags;
        const bool handles_given = (row.expected_flags & STARTF_USESTDHANDLES) != 0;
        EXPECT_EQ(s.hStdOutput, handles_given ? row.handles.output : nullptr);
        EXPECT_EQ(s.hStdError, handles_given ? row.handles.error : nullptr);
        EXPECT_EQ(s.lpTitle, title);
        EXPECT_EQ(s.wShowWindow, SW_SHOWMINNOACTIVE);
        EXPECT_EQ(s.dwX + s.dwY + s.dwXSize + s.dwYSize, 11u + 12 + 640 + 480);
        EXPECT_EQ(s.cbReserved2, 0);
        EXPECT_EQ(s.lpDesktop, nullptr);
        // No priority class, ever: the program inherits the launcher's.
        EXPECT_EQ(start.creation_flags, row.detached ? DWORD{DETACHED_PROCESS} : 0u);
    }
}

// Wine delivers Ctrl+C to every process of a group, but no close, logoff or
// shutdown event: the decision is checked here, Ctrl+C end to end.
TEST(ConsoleEventTest, CtrlCIsTheProgramsAndTheEndsOfTheSessionAreOutlasted) {
    using r = console_response;
    const struct {
        DWORD event;
        r before_start, after_start;
    } rows[] = {
        {CTRL_C_EVENT, r::end_launcher, r::leave_to_program},
        {CTRL_BREAK_EVENT, r::end_launcher, r::leave_to_program},
        {CTRL_CLOSE_EVENT, r::end_launcher, r::outlast_program},
        {CTRL_LOGOFF_EVENT, r::end_launcher, r::outlast_program},
        {CTRL_SHUTDOWN_EVENT, r::end_launcher, r::outlast_program},
        {3, r::end_launcher, r::end_launcher},
        {7, r::end_launcher, r::end_launcher},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decide_console_event(row.event, false), row.before_start) << row.event;
        EXPECT_EQ(decide_console_event(row.event, true), row.after_start) << row.event;
    }
    // No program yet: the launcher's own work is what Ctrl+C stops.
    EXPECT_FALSE(console_control_handler(CTRL_C_EVENT));
}

// Wine sends no WM_ENDSESSION of its own: what the hidden window does with
// each message; an end of the session is outlasted as on a console.
TEST(SessionWindowTest, NeverVetoesAndOutlastsTheProgramWhenTheSessionEnds) {
    const LPARAM logoff = static_cast<LPARAM>(ENDSESSION_LOGOFF);
    const LPARAM widened = static_cast<LPARAM>(static_cast<LONG>(ENDSESSION_LOGOFF));
    const struct {
        UINT message;
        WPARAM w;
        LPARAM l;
        session_message_action want;
    } rows[] = {
        {WM_QUERYENDSESSION, 0, logoff, {true, TRUE, false, 0}},
        {WM_ENDSESSION, FALSE, logoff, {true, 0, false, 0}},  // vetoed: the session goes on
        {WM_ENDSESSION, TRUE, ENDSESSION_CRITICAL, {true, 0, true, CTRL_SHUTDOWN_EVENT}},
        {WM_ENDSESSION, TRUE, logoff | ENDSESSION_CRITICAL, {true, 0, true, CTRL_LOGOFF_EVENT}},
        {WM_ENDSESSION, TRUE, widened, {true, 0, true, CTRL_LOGOFF_EVENT}},
        {WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, {true, 0, true, CTRL_CLOSE_EVENT}},
        {WM_CLOSE, 0, 0, {true, 0, false, 0}},
        {WM_SETTINGCHANGE, 0, 0, {false, 0, false, 0}},
    };
    for (const auto& row : rows) {
        const session_message_action a = decide_session_message(row.message, row.w, row.l);
        const session_message_action& w = row.want;
        EXPECT_TRUE(a.handled == w.handled && a.answer == w.answer &&
                    a.ends_session == w.ends_session && (!w.ends_session || a.event == w.event))
            << row.message << " " << row.l;
        if (a.ends_session) {
            EXPECT_EQ(decide_console_event(a.event, true), console_response::outlast_program);
        }
    }
}

TEST(PathLimitTest, ProgramAndFolderPathsAtTheLimitsCreateProcessTakes) {
    EXPECT_TRUE(fits_process_start(259, path_role::program));
    EXPECT_FALSE(fits_process_start(260, path_role::program));
    EXPECT_TRUE(fits_process_start(258, path_role::folder));
    EXPECT_FALSE(fits_process_start(259, path_role::folder));
}

}  // namespace
