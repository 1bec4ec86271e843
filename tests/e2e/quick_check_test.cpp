// The quick check under Wine: every way the disk can disagree with the
// record makes the start check by content and repair, a change the record
// cannot see is found within one sweep of starts, and a rename in case only
// keeps the quick path.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

struct quick_launcher {
    scratch_folder work;
    std::string exe = work / "quick.exe";
    std::string target = work / "target";
    const std::vector<app_file> files = {
        {"probe.exe", probe_child_bytes()},
        {"data/a.txt", to_bytes("alpha alpha alpha")},
        {"data/deep/b.bin", to_bytes("bravo bravo")},
        {"c.txt", to_bytes("charlie")},
    };
    quick_launcher() {
        for (const app_file& f : files) write_file(work / ("app/" + f.name), f.data);
        build_launcher(work / "app", exe,
                       {"--template", windows_path(target), "--quick-check", "--index", "auto"});
    }
    // A start; its trace.
    std::string start(const std::string& sleep_ms = "") {
        run_options o;
        o.env = {{"FENWIX_ONEFILE_TRACE", "1"}};
        if (!sleep_ms.empty()) o.env.push_back({"PROBE_SLEEP_MS", sleep_ms});
        const run_result r = run_windows(exe, {}, o);
        EXPECT_EQ(r.exit_code, 0u) << r.err;
        return r.err;
    }
};

bool says(const std::string& trace, const std::string& what) {
    return trace.find(what) != std::string::npos;
}

// Rewrites a file in place with other bytes of the same size, keeping its
// time: only its content differs from what the record says.
void change_behind_the_record(const std::string& path) {
    const auto time = fs::last_write_time(path);
    std::string content = read_file(path);
    content[0] ^= 1;
    write_file(path, content);
    fs::last_write_time(path, time);
}

TEST(QuickCheckTest, EveryDisagreementWithTheRecordIsCheckedAndRepaired) {
    quick_launcher l;
    ASSERT_TRUE(says(l.start(), "record written for 4 files"));
    ASSERT_TRUE(says(l.start(), "the record vouches for 4 of 4 files"));
    const std::string a = l.target + "/data/a.txt";
    const struct {
        const char* how;
        std::function<void()> disturb;
        const char* expected;  // in the trace of the start that follows
    } cases[] = {
        {"missing file", [&] { fs::remove(a); }, "vouches for 3 of 4"},
        {"other size", [&] { write_file(a, "alpha"); }, "vouches for 3 of 4"},
        {"other time",
         [&] {
             change_behind_the_record(a);
             fs::last_write_time(a, fs::last_write_time(a) + std::chrono::seconds(5));
         },
         "vouches for 3 of 4"},
        {"other id: a copy of the same size and time",
         [&] {
             const auto time = fs::last_write_time(a);
             std::string content = read_file(a);
             content[0] ^= 1;
             // Made while the old file still exists, so it gets an id of its own.
             write_file(a + ".copy", content);
             fs::last_write_time(a + ".copy", time);
             fs::rename(a + ".copy", a);
         },
         "vouches for 3 of 4"},
        {"damaged record",
         [&] {
             change_behind_the_record(a);
             std::string record = read_file(l.target + "/.fenwix-record");
             record[20] ^= 1;
             write_file(l.target + "/.fenwix-record", record);
         },
         "no usable record"},
    };
    for (const auto& c : cases) {
        c.disturb();
        const std::string trace = l.start();
        EXPECT_TRUE(says(trace, c.expected)) << c.how << "\n" << trace;
        EXPECT_TRUE(says(trace, "record written for 4 files")) << c.how << "\n" << trace;
        EXPECT_EQ(files_differing(l.target, l.files), "") << c.how;
    }

    // A change the listing cannot see, with a program too short for any
    // background check: a slice of the files is checked by content at every
    // start, so it is found and repaired within one sweep's starts (here 4).
    change_behind_the_record(a);
    int starts = 0;
    while (files_differing(l.target, l.files) != "" && starts < 5) {
        l.start();
        ++starts;
    }
    EXPECT_LE(starts, 4);
    EXPECT_EQ(files_differing(l.target, l.files), "");
    // Found while a longer program runs: the record is dropped, and the next
    // start repairs by content.
    change_behind_the_record(a);
    std::string trace;
    for (int i = 0; i < 4 && !says(trace, "record dropped") && !says(trace, "differs"); ++i) {
        trace = l.start("3000");
    }
    EXPECT_TRUE(says(trace, "a file differs behind its record")) << trace;
    l.start();
    EXPECT_EQ(files_differing(l.target, l.files), "");

    // Renamed in case only: the quick path stays.
    fs::rename(l.target + "/c.txt", l.target + "/C.TXT");
    EXPECT_TRUE(says(l.start(), "the record vouches for 4 of 4 files"));
}

}  // namespace
