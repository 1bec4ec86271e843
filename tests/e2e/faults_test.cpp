// What a user's machine throws at a launcher, under Wine: files locked for a
// moment or for good, a full disk, a folder that cannot be written, many first
// starts at once, a new version started while the old one runs, long and deep
// paths, and a launcher killed under its running program.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Builds `exe`, a launcher carrying `files` (the first is the main program)
// that unpacks into `target`.
void build_for(const std::vector<app_file>& files, const std::string& exe,
               const std::string& target) {
    write_file(exe + ".block", block_around(compress_frame(stream_of_files(files), 1)));
    build_launcher(exe + ".block", exe, {"--template", windows_path(target)});
}

void expect_files_match(const std::string& target, const std::vector<app_file>& files) {
    EXPECT_EQ(files_differing(target, files), "");
}

// Windows' codes for the ways a file cannot be opened for writing.
constexpr std::uint32_t file_not_found = 2, path_not_found = 3, access_denied = 5,
                        sharing_violation = 32;

std::string open_failure(const std::string& target, const std::string& name, std::uint32_t code) {
    return "Error, failed to open '" + windows_path(target) + "\\" + name + "' for writing." +
           system_error_suffix(code) + "\r\n";
}

run_options with_env(std::vector<std::pair<std::string, std::string>> env) {
    run_options o;
    o.env = std::move(env);
    return o;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A file system mounted on `folder` for one test, unmounted however it ends.
struct mounted {
    std::string folder;
    bool ok = false;
    mounted(const std::string& where, const std::vector<std::string>& how) : folder(where) {
        fs::create_directories(folder);
        std::vector<std::string> argv = {"mount"};
        argv.insert(argv.end(), how.begin(), how.end());
        argv.push_back(folder);
        ok = run_host(argv) == 0;
    }
    ~mounted() {
        if (ok && run_host({"umount", folder}) != 0) run_host({"umount", "-l", folder});
    }
    bool remount(const std::string& options) const {
        return run_host({"mount", "-o", "remount," + options, folder}) == 0;
    }
};

std::vector<app_file> small_app() {
    return {{"app.exe", probe_child_bytes()}, {"data.bin", random_bytes(65536, 1)}};
}

TEST(FaultTest, FileLockedForAMomentIsWaitedForLockedForGoodFailsAfterRetrying) {
    scratch_folder work;
    const std::string target = work / "target";
    const auto files = small_app();
    build_for(files, work / "l.exe", target);
    ASSERT_EQ(run_windows(work / "l.exe").exit_code, 0u);

    // The holder lets go 200 ms after app.exe reappears, which the launcher
    // writes just before it reaches data.bin: so its first try meets the lock.
    write_file(target + "/data.bin", "old content");
    fs::remove(target + "/app.exe");
    const int moment = start_background(
        hold_file_program(),
        {windows_path(target + "/data.bin"), windows_path(work / "held-briefly"), "200"});
    ASSERT_TRUE(wait_until([&] { return fs::exists(work / "held-briefly"); }, 30));
    const run_result waited = run_windows(work / "l.exe", {}, with_env({{"PROBE_EXIT", "7"}}));
    stop_background(moment);
    EXPECT_EQ(waited.err, "");
    EXPECT_EQ(waited.exit_code, 7u);
    expect_files_match(target, files);

    write_file(target + "/data.bin", "old content");
    const int for_good = start_background(
        hold_file_program(), {windows_path(target + "/data.bin"), windows_path(work / "held")});
    ASSERT_TRUE(wait_until([&] { return fs::exists(work / "held"); }, 30));
    const auto start = std::chrono::steady_clock::now();
    const run_result failed = run_windows(work / "l.exe");
    const double seconds = seconds_since(start);
    stop_background(for_good);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, open_failure(target, "data.bin", sharing_violation));
    EXPECT_EQ(failed.exit_code, 2u);
    EXPECT_GE(seconds, 0.9);  // 20 retries 50 ms apart
    EXPECT_EQ(read_file(target + "/data.bin"), "old content");
}

// An on-access scanner holds a file with no sharing for a moment: a DLL
// checked on a warm start, or the main program just written on a cold one.
// Both starts wait for it and start the program.
TEST(FaultTest, FilesAScannerHoldsForAMomentAreWaitedFor) {
    scratch_folder work;
    const std::string target = work / "target";
    // The large file after the program gives the scanner time to reach it.
    const std::vector<app_file> files = {{"app.exe", probe_child_bytes()},
                                         {"lib\\greet.dll", random_bytes(4096, 5)},
                                         {"zlarge.bin", random_bytes(8 << 20, 6)}};
    build_for(files, work / "l.exe", target);
    const struct {
        const char* held;
        const char* exit;
    } starts[] = {{"app.exe", "7"}, {"lib/greet.dll", "8"}};  // cold, then warm
    for (const auto& s : starts) {
        const std::string marker = work / (std::string("watching-") + s.exit);
        const int scanner = start_background(
            hold_file_program(),
            {"exclusive", windows_path(target + "/" + s.held), windows_path(marker), "2000"});
        ASSERT_TRUE(wait_until([&] { return fs::exists(marker); }, 30));
        const run_result r = run_windows(work / "l.exe", {}, with_env({{"PROBE_EXIT", s.exit}}));
        stop_background(scanner);
        EXPECT_EQ(r.err, "") << s.held;
        EXPECT_EQ(r.exit_code, std::stoul(s.exit)) << s.held;
    }
    expect_files_match(target, files);
}

TEST(FaultTest, FullDiskGivesError112AndALaterStartWithRoomCompletesTheFolder) {
    scratch_folder work;
    const std::string target = work / "target";
    mounted disk(target, {"-t", "tmpfs", "-o", "size=4m", "tmpfs"});
    ASSERT_TRUE(disk.ok);
    const std::vector<app_file> files = {{"app.exe", probe_child_bytes()},
                                         {"big.bin", random_bytes(8 << 20, 2)}};
    build_for(files, work / "l.exe", target);

    const run_result full = run_windows(work / "l.exe");
    EXPECT_EQ(full.out, "");
    EXPECT_EQ(full.err, "Error, couldn't unpack file to target path." + system_error_suffix(112) +
                            " File: '" + windows_path(target) + "\\big.bin'.\r\n");
    EXPECT_EQ(full.exit_code, 2u);

    ASSERT_TRUE(disk.remount("size=64m"));
    EXPECT_EQ(run_windows(work / "l.exe", {}, with_env({{"PROBE_EXIT", "3"}})).exit_code, 3u);
    expect_files_match(target, files);
}

// Runs a launcher of app.exe and lib\greet.dll into `target`, which something
// keeps from being written; checks the failure names `failing_name`.
void expect_open_failure(const std::string& target, const std::string& failing_name,
                         std::uint32_t code) {
    scratch_folder work;
    build_for({{"app.exe", probe_child_bytes()}, {"lib\\greet.dll", random_bytes(4096, 3)}},
              work / "l.exe", target);
    const run_result r = run_windows(work / "l.exe");
    EXPECT_EQ(r.out, "");  // the program never ran
    EXPECT_EQ(r.err, open_failure(target, failing_name, code));
    EXPECT_EQ(r.exit_code, 2u);
}

TEST(FaultTest, ReadOnlyTargetFolderNamesTheLockAndChangesNothing) {
    scratch_folder work;
    const std::string target = work / "target";
    write_file(target + "/keep.txt", "kept");
    // Root ignores permission bits, but not a read-only mount.
    mounted bound(target, {"--bind", target});
    ASSERT_TRUE(bound.ok);
    ASSERT_TRUE(bound.remount("bind,ro"));
    // Nothing starts without the lock.
    expect_open_failure(target, ".fenwix-lock", access_denied);
    EXPECT_EQ(read_file(target + "/keep.txt"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), 1);
}

TEST(FaultTest, FolderWhereTheProgramShouldBeIsNamedAndLeftAlone) {
    scratch_folder work;
    const std::string target = work / "target";
    write_file(target + "/app.exe/inside.txt", "a folder's file");
    expect_open_failure(target, "app.exe", access_denied);
    EXPECT_TRUE(fs::is_directory(target + "/app.exe"));
    EXPECT_EQ(read_file(target + "/app.exe/inside.txt"), "a folder's file");
}

TEST(FaultTest, FileWhereAFolderShouldBeIsNamedAndLeftAlone) {
    scratch_folder work;
    const std::string target = work / "target";
    write_file(target + "/lib", "a file, not a folder");
    expect_open_failure(target, "lib\\greet.dll", path_not_found);
    EXPECT_TRUE(fs::is_regular_file(target + "/lib"));
    EXPECT_EQ(read_file(target + "/lib"), "a file, not a folder");
}

// Links planted below the target folder never carry a write out of it: one
// to a file, one to a folder and one that leads nowhere are each refused,
// and what they lead to is left as it was. The target folder itself may be
// a link.
TEST(FaultTest, LinksBelowTheTargetAreNeverWrittenThrough) {
    enum kind { to_file, to_folder, to_nothing };
    const struct {
        const char* link;
        kind leads;
        const char* failing;
        std::uint32_t code;
    } planted[] = {
        {"app.exe", to_file, "app.exe", access_denied},
        {"lib/greet.dll", to_file, "lib\\greet.dll", access_denied},
        {"lib", to_folder, "lib\\greet.dll", access_denied},
        {"app.exe", to_nothing, "app.exe", file_not_found},
    };
    for (const auto& p : planted) {
        SCOPED_TRACE(p.link);
        scratch_folder work;
        const std::string target = work / "target", outside = work / "outside";
        const std::string aim = p.leads == to_folder ? outside : outside + "/file";
        fs::create_directories(outside);
        if (p.leads == to_file) write_file(aim, "outside");
        fs::create_directories(fs::path(target + "/" + p.link).parent_path());
        fs::create_symlink(aim, target + "/" + p.link);
        expect_open_failure(target, p.failing, p.code);
        if (p.leads == to_file) {
            EXPECT_TRUE(read_file(aim) == "outside");  // not the program written over it
        } else if (p.leads == to_folder) {
            EXPECT_TRUE(fs::is_empty(outside));
        } else {
            EXPECT_FALSE(fs::exists(aim));
        }
    }

    scratch_folder work;
    fs::create_directories(work / "real");
    fs::create_directory_symlink(work / "real", work / "target");
    const auto files = small_app();
    build_for(files, work / "l.exe", work / "target");
    EXPECT_EQ(run_windows(work / "l.exe", {}, with_env({{"PROBE_EXIT", "5"}})).exit_code, 5u);
    expect_files_match(work / "real", files);
}

TEST(FaultTest, LaunchersStartedTogetherEachGiveTheirProgramACompleteFolder) {
    scratch_folder work;
    const std::string target = work / "target";
    std::vector<app_file> files = {{"app.exe", probe_child_bytes()}};
    // 40 MiB in many files: launchers that did not take turns would meet on
    // the same files within the time that each spends unpacking.
    for (int i = 0; i < 2000; ++i) {
        files.push_back({"data\\f" + std::to_string(i) + ".bin", random_bytes(20 << 10, 10 + i)});
    }
    build_for(files, work / "l.exe", target);
    // The child checks every file before it does anything else.
    write_file(work / "list", probe_check_list(files));
    run_options o = with_env({{"PROBE_CHECK", windows_path(work / "list")}});
    o.timeout_seconds = 180;

    // Whatever stands where the lock goes is removed as what it is (a link as
    // a link) and the lock made anew: nothing it leads to is touched.
    const std::string lock = target + "/.fenwix-lock", victim = work / "victim";
    write_file(victim + "/precious.txt", "precious");
    const std::function<void()> nothing = [] {};
    const struct {
        const char* planted;
        const char* gap_ms;
        bool link;
        std::function<void()> plant;
    } cases[] = {
        {"nothing", "0", false, nothing},
        {"nothing", "150", false, nothing},
        {"a folder", "0", false, [&] { write_file(lock + "/inside.txt", "in the lock's place"); }},
        {"a link to a folder", "0", true, [&] { fs::create_directory_symlink(victim, lock); }},
        {"a link to a file", "0", true,
         [&] { fs::create_symlink(victim + "/precious.txt", lock); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.planted) + ", started " + c.gap_ms + " ms apart");
        fs::remove_all(target);
        fs::create_directories(target);
        c.plant();
        // Started from one Windows process, so that "at once" is not spread
        // out by Wine's start-up of each.
        const run_result r = run_windows(process_tool_program(),
                                         {"start", "8", c.gap_ms, windows_path(work / "l.exe")}, o);
        if (c.link) {
            // Wine follows its host's links whatever an open asks, so the
            // lock cannot be had without following one: every start fails
            // at once, naming it, and runs nothing (Windows opens the link
            // as itself and replaces it).
            EXPECT_EQ(r.out, "2\r\n2\r\n2\r\n2\r\n2\r\n2\r\n2\r\n2\r\n") << r.err;
            EXPECT_NE(r.err.find("Error, failed to open '" + windows_path(target) +
                                 "\\.fenwix-lock' for writing. ([Error "),
                      std::string::npos)
                << r.err;
            EXPECT_TRUE(fs::is_symlink(lock));
        } else {
            // 0x7e (126): a program found a file incomplete.
            EXPECT_EQ(r.out, "0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n0\r\n") << r.err;
            EXPECT_EQ(r.exit_code, 0u);
            expect_files_match(target, files);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lock)));
        }
        EXPECT_EQ(read_file(victim + "/precious.txt"), "precious");
        EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1);
    }
}

TEST(FaultTest, NewVersionCannotReplaceTheRunningOneThenUpdatesOnceItHasEnded) {
    // The main program has a name of its own, so that counting it sees only
    // this test's.
    const std::string program = name_of_this_run("fault-update-app") + ".exe";
    const bytes probe = probe_child_bytes();
    const std::string app = example_app_dir();
    const std::vector<app_file> version_a = {
        {program, probe},
        {"lib\\greet.dll", to_bytes(read_file(app + "/lib/greet.dll"))},
        {"data\\message.txt", to_bytes(read_file(app + "/data/message.txt"))}};
    std::vector<app_file> version_b = version_a;
    for (app_file& f : version_b) {
        // Bytes after the last section leave an image loadable.
        const bytes tail = to_bytes("\r\nversion B\r\n");
        f.data.insert(f.data.end(), tail.begin(), tail.end());
    }
    scratch_folder work;
    const std::string target = work / "target";
    build_for(version_a, work / "a.exe", target);
    build_for(version_b, work / "b.exe", target);

    run_options waiting =
        with_env({{"PROBE_MODE", "wait"}, {"PROBE_MARK", windows_path(work / "mark")}});
    waiting.console = true;  // for the Ctrl+C that ends it
    windows_run a(work / "a.exe", {}, waiting);
    ASSERT_TRUE(wait_until([&] { return read_file(work / "mark") == "started\n"; }, 30));

    const auto start = std::chrono::steady_clock::now();
    const run_result refused = run_windows(work / "b.exe");
    EXPECT_GE(seconds_since(start), 0.9);  // it retried before giving up
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, open_failure(target, program, sharing_violation));
    EXPECT_EQ(refused.exit_code, 2u);
    EXPECT_EQ(count_processes(program), 1);
    EXPECT_EQ(read_file(work / "mark"), "started\n");  // neither ended nor disturbed
    expect_files_match(target, version_a);

    a.interrupt();  // Ctrl+C ends the waiting child
    EXPECT_FALSE(a.finish().timed_out);
    EXPECT_EQ(run_windows(work / "b.exe", {}, with_env({{"PROBE_EXIT", "4"}})).exit_code, 4u);
    expect_files_match(target, version_b);
}

// Files unpack at any length the joined path allows; the program itself is
// started through CreateProcessW, which takes a path of at most 259
// characters, so past that the launcher reports the launch failure.
TEST(FaultTest, LongTargetFolderLongNameAndDeepNameUnpack) {
    scratch_folder work;
    // Linux keeps a level to 255 bytes, so the 1,023-unit name has several.
    std::string long_name;
    while (long_name.size() + 250 < 1023) long_name += std::string(200, 'n') + "\\";
    long_name += std::string(1023 - long_name.size(), 'e');
    std::string deep_name;
    for (int level = 0; level < 200; ++level) deep_name += "d\\";
    deep_name += "deep.txt";
    ASSERT_EQ(long_name.size(), 1023u);
    const std::vector<app_file> files = {{"app.exe", probe_child_bytes()},
                                         {long_name, random_bytes(3000, 4)},
                                         {deep_name, to_bytes("two hundred levels down")}};

    const std::string short_target = work / "t";
    build_for(files, work / "s.exe", short_target);
    const run_result s = run_windows(work / "s.exe", {}, with_env({{"PROBE_EXIT", "6"}}));
    EXPECT_EQ(s.err, "");
    EXPECT_EQ(s.exit_code, 6u);
    expect_files_match(short_target, files);

    const std::string long_target =
        work / (std::string(120, 'T') + "/" + std::string(120, 'U') + "/" + std::string(120, 'V'));
    const std::size_t target_units = windows_path(long_target).size();
    ASSERT_GT(target_units, 260u);
    // The launcher joins folder, backslash and name in 4,095 units at most.
    ASSERT_LE(target_units + 1 + long_name.size(), 4095u);
    build_for(files, work / "l.exe", long_target);
    const run_result l = run_windows(work / "l.exe");
    expect_files_match(long_target, files);
    EXPECT_EQ(l.err.rfind("Error, couldn't launch child ([Error ", 0), 0u) << l.err;
    EXPECT_EQ(l.exit_code, 2u);
}

TEST(FaultTest, ProgramEndsWhenItsLauncherIsKilled) {
    const std::string launcher = name_of_this_run("fault-killed-launcher") + ".exe";
    const std::string program = name_of_this_run("fault-tied-program") + ".exe";
    scratch_folder work;
    build_for({{program, probe_child_bytes()}}, work / launcher, work / "target");
    windows_run run(
        work / launcher, {},
        with_env({{"PROBE_MODE", "wait"}, {"PROBE_MARK", windows_path(work / "mark")}}));
    ASSERT_TRUE(wait_until([&] { return fs::exists(work / "mark"); }, 30));
    ASSERT_EQ(count_processes(program), 1);

    // TerminateProcess: no handler of its own runs. Asked again for a few
    // seconds: under load Wine's process list has once come back without it.
    EXPECT_TRUE(wait_until([&] { return kill_processes(launcher); }, 5));
    EXPECT_EQ(run.finish().exit_code, 1u);
    EXPECT_TRUE(wait_until([&] { return count_processes(program) == 0; }, 5));
    kill_processes(program);  // only if the test failed
}

TEST(FaultTest, ProcessTheProgramStartsDetachedOutlivesTheLauncher) {
    const std::string detached = name_of_this_run("fault-detached") + ".exe";
    scratch_folder work;
    fs::copy_file(hold_file_program(), work / detached);
    write_file(work / "held", "held by the detached process");
    build_for({{"app.exe", probe_child_bytes()}}, work / "l.exe", work / "target");
    const std::string command = "\"" + windows_path(work / detached) + "\" \"" +
                                windows_path(work / "held") + "\" \"" +
                                windows_path(work / "running") + "\"";

    const run_result r = run_windows(
        work / "l.exe", {},
        with_env(
            {{"PROBE_MODE", "spawn-detached"}, {"PROBE_SPAWN", command}, {"PROBE_EXIT", "5"}}));
    EXPECT_EQ(r.exit_code, 5u);
    // The launcher has ended; what the program started on purpose lives on.
    EXPECT_TRUE(wait_until([&] { return fs::exists(work / "running"); }, 30));
    EXPECT_GE(count_processes(detached), 1);
    EXPECT_TRUE(kill_processes(detached));
}

}  // namespace
