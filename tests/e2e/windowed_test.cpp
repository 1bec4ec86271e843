// Windowed launchers under Wine on a real X server (./fenwix test starts one
// for the whole run): failures in a dialog, read and closed the way a user
// would; the progress window on a long first start only; no hang without a
// display; and the hidden window that hears of the session's end, which a
// console launcher has too.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Tests run side by side, and a watcher finds windows by title: each test's
// launchers carry a product name of their own.
const std::string title = name_of_this_run("Orvelle Studio");
const std::string progress_title = name_of_this_run("Orvelle Progress");

run_options on_display() {
    run_options o;
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr) o.env = {{"DISPLAY", display}};
    return o;
}

// Runs a windowed launcher while a watcher answers its dialog; the launcher's
// result, and the dialog's text in `shown`.
run_result run_answering_dialog(const std::string& exe, std::string& shown) {
    windows_run launcher(exe, {}, on_display());
    const run_result watch =
        run_windows(window_watch_program(), {"dialog", title, "20000"}, on_display());
    EXPECT_EQ(watch.exit_code, 0u) << "no dialog titled " << title;
    shown = watch.out;
    return launcher.finish();
}

class WindowedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr)
            << "needs an X server: run through ./fenwix test";
    }
    std::string build(const std::string& block_or_app, const std::string& name,
                      const std::string& product = title) {
        const std::string exe = work / name;
        // Each launcher unpacks into a folder of its own.
        build_launcher(block_or_app, exe,
                       {"--windowed", "--product", product, "--template",
                        windows_path(work / ("target-" + name))});
        return exe;
    }
    scratch_folder work;
};

TEST_F(WindowedTest, EachFailureShowsItsLineInADialogAndExitsTwo) {
    write_file(work / "header.block", "XYZ");
    write_file(work / "decode.block", block_around(to_bytes("not a frame")));
    write_file(work / "launch/app.exe", fake_windows_program("but no program"));
    write_file(work / "open/app.exe", fake_windows_program());
    const std::string header = build(work / "header.block", "header.exe");
    const std::string decode = build(work / "decode.block", "decode.exe");
    const std::string launch = build(work / "launch", "launch.exe");
    const std::string open = build(work / "open", "open.exe");
    fs::create_directories(work / "target-open.exe/app.exe");  // a folder where the file goes

    for (const std::string& exe : {header, decode, launch, open}) {
        std::string shown;
        const run_result r = run_answering_dialog(exe, shown);
        EXPECT_EQ(r.exit_code, 2u) << exe;
        // The same line goes to the redirected stream, the dialog without its line end.
        const std::string line = r.out + r.err;
        ASSERT_GT(line.size(), 2u) << exe;
        EXPECT_EQ(shown, line.substr(0, line.size() - 2) + "\n") << exe;
        EXPECT_EQ(line.rfind("Error, ", 0), 0u) << line;
    }
}

TEST_F(WindowedTest, ProgressWindowOnASlowFirstStartOnly) {
    write_file(work / "app/app.exe", read_file(probe_child_program()));
    for (int i = 0; i < 3000; ++i) {  // many small files: seconds of writing under Wine
        write_file(work / ("app/data/f" + std::to_string(i) + ".txt"), std::to_string(i));
    }
    const std::string exe = build(work / "app", "app.exe", progress_title);
    for (const bool first : {true, false}) {
        windows_run launcher(exe, {}, on_display());
        const run_result watch =
            run_windows(window_watch_program(),
                        {"progress", progress_title, first ? "20000" : "4000"}, on_display());
        EXPECT_EQ(watch.exit_code, first ? 0u : 1u) << (first ? "first start" : "second start");
        const run_result r = launcher.finish();
        EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    }
}

// On a window station nobody sees (a service's, a scheduled task's), no
// dialog waits for a click that never comes: the launcher ends at once.
TEST_F(WindowedTest, OnAStationNobodySeesAFailureEndsAtOnce) {
    write_file(work / "decode.block", block_around(to_bytes("not a frame")));
    const std::string exe = build(work / "decode.block", "unseen.exe");
    const run_result r =
        run_windows(process_tool_program(), {"unseen", "20000", windows_path(exe)}, on_display());
    EXPECT_EQ(r.exit_code, 0u) << "still waiting after 20 s";
    ASSERT_GE(r.out.size(), 3u);
    EXPECT_EQ(r.out.substr(r.out.size() - 3), "2\r\n") << r.out;  // its exit code
}

// Wine ends no session: the watcher tells the hidden window of a logoff, in a
// console launcher (user32 comes with shell32) and in a windowed one.
TEST_F(WindowedTest, AtTheEndOfTheSessionTheLauncherEndsAfterItsProgram) {
    write_file(work / "app/app.exe", read_file(probe_child_program()));
    const std::string product = name_of_this_run("Orvelle Session");
    for (const bool windowed : {false, true}) {
        const std::string exe = work / (windowed ? "windowed.exe" : "console.exe");
        std::vector<std::string> options = {"--product", product, "--template",
                                            windows_path(exe + ".target")};
        if (windowed) options.push_back("--windowed");
        build_launcher(work / "app", exe, options);
        run_options o = on_display();
        o.env.push_back({"PROBE_SLEEP_MS", "60000"});
        windows_run launcher(exe, {}, o);
        const run_result watch =
            run_windows(window_watch_program(),
                        {"session", product, "20000", "app.exe", "0xC000013A"}, on_display());
        EXPECT_EQ(watch.out, "query 1, end unanswered, launcher ended 0xC000013A\n") << exe;
        EXPECT_EQ(launcher.finish().exit_code, 0xC000013Au) << exe;
    }
}

TEST_F(WindowedTest, WithoutADisplayTheExitCodeStillComesOut) {
    write_file(work / "header.block", "XYZ");
    const std::string exe = build(work / "header.block", "header.exe");
    run_options o;
    o.unset = {"DISPLAY"};
    o.timeout_seconds = 30;
    const run_result r = run_windows(exe, {}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 2u);
    EXPECT_EQ(r.out, "Error, couldn't find attached data header.\r\n");

    std::string problems;  // the subsystem, read by a parser of its own
    EXPECT_EQ(
        run_host({"/usr/bin/python3", source_file("tests/e2e/check_pe.py"), exe, "2"}, &problems),
        0)
        << problems;
}

}  // namespace

namespace {

// A windowed launcher has no standard error: its trace goes to the file the
// variable names, appended to, one line per step.
TEST_F(WindowedTest, TraceGoesToTheFileTheVariableNames) {
    write_file(work / "app/app.exe", read_file(probe_child_program()));
    const std::string exe = build(work / "app", "traced.exe");
    const std::string trace = work / "trace.txt";
    run_options o = on_display();
    o.env.push_back({"FENWIX_ONEFILE_TRACE", windows_path(trace)});
    o.env.push_back({"PROBE_EXIT", "7"});
    for (int start = 0; start < 2; ++start) ASSERT_EQ(run_windows(exe, {}, o).exit_code, 7u);
    const std::string lines = read_file(trace);
    for (const char* step : {"target folder ", "writing app.exe (missing)", "command line ",
                             "program ended, exit code 7 "}) {
        EXPECT_NE(lines.find(step), std::string::npos) << step << " in\n" << lines;
    }
    EXPECT_EQ(lines.find("writing app.exe", lines.find("program ended")), std::string::npos)
        << "the second start wrote again:\n"
        << lines;
}

}  // namespace
