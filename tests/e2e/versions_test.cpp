// Versions side by side under Wine: launchers built to keep two versions,
// started in turn, leave exactly the folders they should, never one in use,
// never anything that is not theirs, and finish what an interrupted removal
// left.
#include "tests/support/host_support.h"

#include "format/version_folders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

namespace fs = std::filesystem;

namespace {

struct versioned_app {
    scratch_folder work;
    std::string parent = work / "cache";

    static std::string version(int n) { return std::to_string(n) + ".0.0.0"; }
    // Each test's launchers have names of their own: one test kills its
    // launcher by name while the other may be running.
    std::string tag;
    explicit versioned_app(std::string test_tag) : tag(std::move(test_tag)) {}
    std::string exe(int n) const {
        return work / name_of_this_run("versions-" + tag + "-" + std::to_string(n)) + ".exe";
    }

    // Version n: the probe, and files of its own in `count` folders.
    static std::vector<app_file> files(int n, int count = 2) {
        std::vector<app_file> f = {{"probe.exe", probe_child_bytes()},
                                   {"data\\version.txt", to_bytes("version " + version(n))}};
        for (int i = 0; i < count; ++i) {
            f.push_back({"data\\d" + std::to_string(i % 50) + "\\f" + std::to_string(i) + ".bin",
                         random_bytes(1024, 100 * n + i)});
        }
        return f;
    }
    void build(int n, int count = 2, const std::string& keep = "2",
               const std::string& product = "Orvelle", const std::string& level = "{VERSION}") {
        const std::string app = work / ("app-" + product + std::to_string(n));
        for (app_file f : files(n, count)) {
            std::replace(f.name.begin(), f.name.end(), '\\', '/');
            write_file(app + "/" + f.name, f.data);
        }
        build_launcher(app, exe(n) + (product == "Orvelle" ? "" : ".other.exe"),
                       {"--template", windows_path(parent) + "\\" + level, "--version", version(n),
                        "--keep-versions", keep, "--product", product, "--company", "Quenmar Ltd"});
    }
    // Starts version n, whose program first checks that each of its files is
    // whole, then runs for `ms`, long enough for the removal beside it.
    run_options options(int n, const std::string& ms = "2000") {
        write_file(work / "list", probe_check_list(files(n)));
        run_options o;
        o.env = {{"FENWIX_ONEFILE_TRACE", "1"},
                 {"PROBE_CHECK", windows_path(work / "list")},
                 {"PROBE_SLEEP_MS", ms}};
        return o;
    }
    std::string start(int n, const std::string& exe_suffix = "", const std::string& ms = "2000") {
        const run_result r = run_windows(exe(n) + exe_suffix, {}, options(n, ms));
        EXPECT_EQ(r.exit_code, 0u) << "version " << n << "\n" << r.err;
        return r.err;
    }
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(parent)) out.insert(e.path().filename());
        return out;
    }
};

// A marker naming this product, `version`, and a folder called `name`.
bytes marker_of(const char16_t* version, const char16_t* name) {
    const char16_t* const texts[] = {u"Orvelle", u"Quenmar Ltd", version, name};
    bytes out(version_folders::max_marker_size);
    out.resize(version_folders::encode_marker(out.data(), texts));
    return out;
}

TEST(VersionsTest, OldVersionsGoOnlyWhenFreeAndOnlyIfTheyAreOurs) {
    versioned_app app("turns");
    for (int n = 1; n <= 4; ++n) app.build(n);
    std::string listed;
    ASSERT_EQ(run_host({fenwix_tool(), "list", app.exe(4)}, nullptr, &listed), 0);
    EXPECT_NE(listed.find("\nversions  2 kept\n"), std::string::npos) << listed;
    app.build(1, 2, "1", "Other", "other-{VERSION}");

    // Things beside the versions that are not theirs: a file, a folder with
    // no marker, another product's version, and a link to a folder outside
    // that holds a marker naming this product and the link's own name.
    const std::string outside = app.work / "outside";
    write_file(app.parent + "/notes.txt", "notes");
    write_file(app.parent + "/0.1.0.0/kept.txt", "kept");
    write_file(outside + "/.fenwix-version", marker_of(u"0.9.0.0", u"0.9.0.0"));
    write_file(outside + "/keep.txt", "outside");
    fs::create_directory_symlink(outside, app.parent + "/0.9.0.0");
    app.start(1, ".other.exe");
    app.start(1);
    // A copy of a version under another name is not that version.
    fs::copy(app.parent + "/1.0.0.0", app.parent + "/backup", fs::copy_options::recursive);
    const std::set<std::string> others = {"notes.txt", "0.1.0.0", "0.9.0.0", "other-1.0.0.0",
                                          "backup"};
    const auto expect_versions = [&](std::set<std::string> expected, const char* when) {
        expected.insert(others.begin(), others.end());
        EXPECT_EQ(app.names(), expected) << when;
    };
    EXPECT_TRUE(app.start(2).find("versions: kept 1.0.0.0, one of the 1 newest") !=
                std::string::npos);
    expect_versions({"1.0.0.0", "2.0.0.0"}, "after 2");

    // Version 1's program started without its launcher (a pinned shortcut,
    // a helper that outlived it): its folder stays while the program runs.
    {
        run_options o = app.options(1);
        o.env.push_back({"PROBE_MODE", "wait"});
        o.env.push_back({"PROBE_MARK", windows_path(app.work / "alone")});
        // Nothing to check: the program runs as a shortcut would start it.
        o.env.erase(std::remove_if(o.env.begin(), o.env.end(),
                                   [](const auto& v) { return v.first == "PROBE_CHECK"; }),
                    o.env.end());
        windows_run alone(app.parent + "/1.0.0.0/probe.exe", {}, o);
        ASSERT_TRUE(wait_until([&] { return fs::exists(app.work / "alone"); }, 60));
        const std::string busy = app.start(3);
        EXPECT_NE(busy.find("versions: 1.0.0.0 left for a later start: a program or library in "
                            "it is in use"),
                  std::string::npos)
            << busy;
        expect_versions({"1.0.0.0", "2.0.0.0", "3.0.0.0"}, "after 3, with 1's program alone");
        alone.interrupt();
        alone.finish();
    }

    // Version 1 runs on while 3 and 4 start: its folder stays until it has ended.
    windows_run first(app.exe(1), {}, [&] {
        run_options o = app.options(1);
        o.env.push_back({"PROBE_MODE", "wait"});
        o.env.push_back({"PROBE_MARK", windows_path(app.work / "mark")});
        o.console = true;  // for the Ctrl+C that ends it
        return o;
    }());
    ASSERT_TRUE(wait_until([&] { return fs::exists(app.work / "mark"); }, 60));
    const std::string third = app.start(3);
    EXPECT_TRUE(third.find("versions: 1.0.0.0 left for a later start: in use") != std::string::npos)
        << third;
    expect_versions({"1.0.0.0", "2.0.0.0", "3.0.0.0"}, "after 3, with 1 running");
    const std::string fourth = app.start(4);
    EXPECT_TRUE(fourth.find("versions: removed 2.0.0.0") != std::string::npos) << fourth;
    expect_versions({"1.0.0.0", "3.0.0.0", "4.0.0.0"}, "after 4, with 1 running");
    first.interrupt();
    first.finish();
    app.start(4);
    expect_versions({"3.0.0.0", "4.0.0.0"}, "after 4 again, 1 ended");

    // An older build started after newer ones removes nothing newer.
    EXPECT_TRUE(app.start(2).find("versions: kept 3.0.0.0, newer than this version") !=
                std::string::npos);
    expect_versions({"2.0.0.0", "3.0.0.0", "4.0.0.0"}, "after 2 again");

    // What is not ours is as it was; a link is not followed.
    EXPECT_EQ(read_file(app.parent + "/notes.txt"), "notes");
    EXPECT_EQ(read_file(app.parent + "/0.1.0.0/kept.txt"), "kept");
    EXPECT_EQ(read_file(outside + "/keep.txt"), "outside");
    EXPECT_EQ(files_differing(app.parent + "/other-1.0.0.0", versioned_app::files(1)), "");
    EXPECT_EQ(files_differing(app.parent + "/backup", versioned_app::files(1)), "");
}

// Links anywhere (a version folder or rubbish that is a link, links inside
// an old version, inside planted rubbish) are removed as links or left
// alone: nothing they lead to is touched, and everything of ours still goes.
TEST(VersionsTest, NoLinkIsFollowedAndAllElseOfOursGoes) {
    versioned_app app("links");
    app.build(1);
    app.build(2, 2, "1");
    app.start(1);
    // The user's folders, each with a marker that would make it ours.
    const std::string victim = app.work / "victim", empty = app.work / "empty-victim";
    write_file(victim + "/.fenwix-version", marker_of(u"0.5.0.0", u"0.5.0.0"));
    write_file(victim + "/precious.txt", "precious");
    write_file(victim + "/sub/deep.txt", "deep");
    fs::create_directory(empty);
    const std::string old = app.parent + "/1.0.0.0";
    fs::create_directory_symlink(victim, old + "/data/to-victim");
    fs::create_directory_symlink(empty, old + "/to-empty");
    fs::create_symlink(victim + "/precious.txt", old + "/data/precious-link");
    fs::create_directory_symlink(victim, app.parent + "/0.5.0.0");
    const std::string rubbish = app.parent + "/.fenwix-rubbish-00000000000000";
    fs::create_directory_symlink(victim, rubbish + "aa");
    write_file(rubbish + "bb/.fenwix-version", marker_of(u"0.1.0.0", u"x"));
    fs::create_directory_symlink(victim, rubbish + "bb/inner");
    write_file(rubbish + "bb/sub/file.txt", "ours");
    fs::create_directory(rubbish + "cc");
    write_file(rubbish + "dd/not-ours.txt", "no marker: left");

    const std::string trace = app.start(2);
    // Wine follows its host's links whatever an open asks, so no call
    // removes them as links (Windows opens a link as itself, and deletes
    // it): they are left alone, with the rubbish that holds them, and every
    // other thing of ours goes.
    std::set<std::string> left = app.names();
    std::set<std::string> links_and_theirs = {"0.5.0.0",
                                              rubbish.substr(app.parent.size() + 1) + "aa",
                                              rubbish.substr(app.parent.size() + 1) + "dd"};
    for (const std::string& name : left) {
        if (name == "2.0.0.0" || links_and_theirs.count(name) != 0) continue;
        ASSERT_EQ(name.rfind(".fenwix-rubbish-", 0), 0u) << name << "\n" << trace;
        for (const auto& e : fs::recursive_directory_iterator(app.parent + "/" + name)) {
            // The marker keeps the rubbish known as ours.
            EXPECT_TRUE(e.is_symlink() || (e.is_directory() && !fs::is_empty(e.path())) ||
                        e.path().filename() == ".fenwix-version")
                << e.path() << " is left\n"
                << trace;
        }
    }
    EXPECT_EQ(left.count("1.0.0.0"), 0u);
    EXPECT_EQ(left.count(".fenwix-rubbish-00000000000000cc"), 0u);  // empty: gone
    EXPECT_EQ(read_file(victim + "/precious.txt"), "precious");
    EXPECT_EQ(read_file(victim + "/sub/deep.txt"), "deep");
    EXPECT_EQ(to_bytes(read_file(victim + "/.fenwix-version")), marker_of(u"0.5.0.0", u"0.5.0.0"));
    EXPECT_TRUE(fs::is_directory(empty));
    EXPECT_EQ(read_file(rubbish + "dd/not-ours.txt"), "no marker: left");
    // A second start changes nothing of this.
    app.start(2);
    EXPECT_EQ(app.names(), left);
    EXPECT_EQ(read_file(victim + "/precious.txt"), "precious");
}

TEST(VersionsTest, ARemovalKilledHalfWayIsFinishedByTheNextStart) {
    versioned_app app("killed");
    app.build(1, 4000);
    app.build(2, 2, "1");
    app.start(1);
    windows_run second(app.exe(2), {}, [&] {
        run_options o = app.options(2);
        o.env.push_back({"PROBE_MODE", "wait"});
        return o;
    }());
    const auto rubbish = [&] {
        for (const std::string& name : app.names()) {
            if (name.rfind(".fenwix-rubbish-", 0) == 0) return name;
        }
        return std::string();
    };
    ASSERT_TRUE(wait_until([&] { return !rubbish().empty(); }, 60));
    const std::string launcher = fs::path(app.exe(2)).filename();
    EXPECT_TRUE(wait_until([&] { return kill_processes(launcher); }, 5));
    second.finish();
    ASSERT_NE(rubbish(), "") << "removed before it was killed: more files are needed";
    EXPECT_EQ(app.names(), (std::set<std::string>{"2.0.0.0", rubbish()}));

    // Each file is opened, checked and deleted through its own handle: time
    // for thousands on a busy machine.
    const std::string trace = app.start(2, "", "15000");
    EXPECT_TRUE(trace.find("removed rubbish") != std::string::npos) << trace;
    EXPECT_EQ(app.names(), std::set<std::string>{"2.0.0.0"});
}

}  // namespace
