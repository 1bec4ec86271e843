// The build command: checks on the values a launcher carries, and refusals
// that leave nothing behind.
#include "tests/support/host_support.h"
#include "tools/cli/build_command.h"
#include "tools/cli/build_defaults.h"
#include "tools/pack/packer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

TEST(VersionTest, FourNumbersUpTo65535) {
    unsigned p[4];
    ASSERT_TRUE(parse_version("1.26.0.0", p));
    EXPECT_EQ(p[0], 1u);
    EXPECT_EQ(p[1], 26u);
    ASSERT_TRUE(parse_version("65535.0.65535.7", p));
    EXPECT_EQ(p[2], 65535u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.65536", "1..2.3", "a.b.c.d",
                            "1.2.3.4 ", "-1.2.3.4", "1.2.3.0000001"}) {
        EXPECT_FALSE(parse_version(bad, p)) << bad;
    }
}

// Options as a build of a folder whose program has no version resource
// gets them, the template given as `tmpl` when there is one.
build_options options_for(const std::string& tmpl = "") {
    build_options o;
    o.output = "Tool.exe";
    if (!tmpl.empty()) {
        o.extraction_template = tmpl;
        o.given |= 1u << text_template;
    }
    apply_build_defaults(o, {});
    return o;
}

TEST(BuildValuesTest, RefusesEmptyOrOverlongTemplateAndBadVersion) {
    build_options o = options_for();
    EXPECT_NO_THROW(check_build_values(o));
    o.extraction_template = "";
    EXPECT_THROW(check_build_values(o), tool_error);
    o.extraction_template = std::string(4096, 'x');
    EXPECT_THROW(check_build_values(o), tool_error);
    o.extraction_template = "C:\\" + std::string(4092, 'x');
    EXPECT_NO_THROW(check_build_values(o));
    o.version = "1.2.3";
    EXPECT_THROW(check_build_values(o), tool_error);
}

// check_build_values accepts the options (why is nullptr) or refuses them
// with a message that holds `why`.
void expect_judged(const build_options& o, const char* why, const std::string& shown) {
    if (why == nullptr) {
        EXPECT_NO_THROW(check_build_values(o)) << shown;
        return;
    }
    try {
        check_build_values(o);
        ADD_FAILURE() << shown << ": accepted";
    } catch (const tool_error& e) {
        EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
}

// A template is judged by the launcher's own grammar: every one refused here
// would unpack into a drive's root, the current folder or nowhere at all.
TEST(BuildValuesTest, TemplateMustGiveAFullFolder) {
    const struct {
        const char* text;
        const char* why;  // part of the message, or nullptr when accepted
    } templates[] = {
        {"{CACHE_DIR}\\Orvelle", nullptr},
        {"{cache_dir}\\{PRODUCT}\\{VERSION}-{RANDOM}", nullptr},
        {"{PROGRAM_DIR}", nullptr},
        {"C:\\Apps\\Orvelle", nullptr},
        {"\\\\server\\share", nullptr},
        {"{CACHE_DIR\\Orvelle", "never closed"},
        {"{", "never closed"},
        {"{AB{TEMP}\\x", "never closed"},
        {"{TEMP}\\x}", "closes no keyword"},
        {"{FOO}", "{FOO} is no keyword"},
        {"{CACHEDIR}\\x", "{CACHEDIR} is no keyword"},
        {"Orvelle", "full folder"},
        {"C:\\", "full folder"},
        {"C:Orvelle", "full folder"},
        {"\\\\server", "full folder"},
        {"{PRODUCT}\\x", "full folder"},
        {"{TEMP}\\..\\..", "full folder"},
        {"{CACHE_DIR}\\{COMPANY}", "full folder"},  // a company with a ':'
    };
    for (const auto& t : templates) {
        build_options o = options_for(t.text);
        o.company = "A:B";
        expect_judged(o, t.why, t.text);
    }
}

// The launch line's values by the same grammar, {APP_DIR} standing for the
// template's folder; variables by name; the fixed part by its length.
TEST(BuildValuesTest, LaunchLineValues) {
    const std::string long_text(32767 - 40, 'x');
    const struct {
        std::vector<std::string> arguments, variables;
        const char* why;  // part of the message, or nullptr when accepted
    } cases[] = {
        {{"{APP_DIR}\\app\\main.js", "", "-I"}, {"PATH={APP_DIR};%PATH%", "A=", "B==c"}, nullptr},
        {{"{APP_DIR"}, {}, "never closed"},
        {{"x}"}, {}, "closes no keyword"},
        {{}, {"X={NOPE}"}, "{NOPE} is no keyword"},
        {{}, {"NOEQUALS"}, "is not NAME=VALUE"},
        {{}, {"=C:=C:\\"}, "no NAME"},
        {{}, {"A\tB=1"}, "control character"},
        {{}, {"fenwix_onefile_parent=1"}, "belong to the launcher"},
        {{long_text}, {}, "command line"},
        {{}, {"A=" + long_text + long_text}, "longer than"},
    };
    for (const auto& c : cases) {
        build_options o = options_for();
        o.fixed_arguments = c.arguments;
        o.variables = c.variables;
        expect_judged(o, c.why, c.why == nullptr ? "accepted case" : c.why);
    }
    build_options o = options_for("{CACHE_DIR}\\{APP_DIR}");
    EXPECT_THROW(check_build_values(o), tool_error);
}

TEST(BuildCommandTest, RefusesBadArgumentsAndWritesNothing) {
    scratch_folder work;
    write_file(work / "block", "QJX");
    const std::vector<std::vector<std::string>> bad = {
        {"build", "-o", work / "out.exe"},
        {"build", "--block", work / "block", work / "app", "-o", work / "out.exe"},
        {"build", "--block", work / "missing", "-o", work / "out.exe"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--version", "1.2.3.70000"},
        {"build", "--block", work / "block", "-o", work / "no/such/folder/out.exe"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--template", ""},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--env", "NO_EQUALS"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--arg", "{FOO}"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--cwd", "home"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--keep-versions", "0"},
        // Versions are kept only where each has a folder of its own, the same at every start.
        {"build", "--block", work / "block", "-o", work / "out.exe", "--keep-versions", "2"},
        {"build", "--block", work / "block", "-o", work / "out.exe", "--keep-versions", "2",
         "--template", "{CACHE_DIR}\\{VERSION}-{PID}"},
    };
    for (std::vector<std::string> args : bad) {
        args.insert(args.begin(), fenwix_tool());
        std::string err;
        EXPECT_NE(run_host(args, &err), 0) << args[2];
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(work.path), fs::directory_iterator()), 1);
}

// What a user who slips gets: one line that says what would have worked.
// And --option=value, which works for every option, in a build that ends
// with its summary line.
TEST(BuildCommandTest, SlipsGetOneLineThatPointsTheWay) {
    scratch_folder work;
    const std::string app = work / "app", two = work / "two", out = work / "out.exe";
    write_file(app + "/a.exe", fake_windows_program());
    write_file(app + "/bin/b.exe", fake_windows_program());
    write_file(two + "/a.exe", fake_windows_program());
    write_file(two + "/b.exe", fake_windows_program());
    const struct {
        std::vector<std::string> args;
        std::string message;
    } rows[] = {
        {{"build", app, "-o", work / "out"},
         "build: error: the output '" + work / "out" +
             "' does not end in .exe, which Windows needs to start it; try -o " + work / "out.exe"},
        {{"build", app, "-o", out, "--prodcut", "A"},
         "build: error: unknown option --prodcut; did you mean --product?"},
        {{"build", app, "-o", out, "--template={CACHEDIR}\\x"},
         "build: error: --template '{CACHEDIR}\\x': {CACHEDIR} is no keyword; did you mean "
         "{CACHE_DIR}?"},
        {{"build", app, "-o", out, "--cwd=ap"},
         "build: error: --cwd takes caller or app, not 'ap'; did you mean app?"},
        {{"build", app, "--level=30", "-o", out},
         "build: error: --level 30 is not a whole number from 1 to 22"},
        {{"build", app, "-o", out, "--windowed=yes"}, "build: error: --windowed takes no value"},
        {{"build", two, "-o", out},
         "build: error: several .exe files at the top of '" + two +
             "' (a.exe, b.exe); choose the main program with --main"},
        {{"build", app, "-o", out, "--main", "c.exe"},
         "build: error: --main 'c.exe' is not a file in '" + app + "'; its .exe files: a.exe"},
        {{"pack", app, "-o", work / "block", "--product", "X"},
         "pack: error: --product is an option of fenwix build, not of fenwix pack"},
        {{"biuld", app}, "biuld: error: unknown command biuld; did you mean build?"},
        {{"build", app, "-o", work / ".exe"},
         "build: error: no product name: the main program's version resource gives none, nor "
         "does the output's file name; give --product NAME"},
        {{"build", app, "-o", out, "--company", "Acme Inc."},
         "build: error: the default template {CACHE_DIR}\\{COMPANY}\\{PRODUCT} gives no usable "
         "folder with company 'Acme Inc.' and product 'out' (a name Windows cannot hold as a "
         "folder); give --company and --product, or --template"},
    };
    for (const auto& r : rows) {
        std::vector<std::string> args = r.args;
        args.insert(args.begin(), fenwix_tool());
        std::string err;
        EXPECT_EQ(run_host(args, &err), 1) << r.message;
        EXPECT_EQ(err, "fenwix " + r.message + "\n");
    }
    EXPECT_FALSE(fs::exists(out));

    std::string shown;
    ASSERT_EQ(run_host({fenwix_tool(), "build", app, "--output=" + out, "--level=1",
                        "--product=Fjord", "--company=Quenmar", "--exclude=bin/"},
                       nullptr, &shown),
              0);
    EXPECT_EQ(shown.rfind("wrote " + out + ": ", 0), 0u) << shown;
    EXPECT_NE(shown.find(", 1 file of "), std::string::npos) << shown;  // bin/ left out
    EXPECT_NE(shown.find("; it unpacks into %LOCALAPPDATA%\\Quenmar\\Fjord\n"), std::string::npos)
        << shown;
}

// list, verify and extract take no option: --help in any place shows the
// help, never a file to read nor a folder for extract to make.
TEST(BuildCommandTest, HelpAfterACommandWithoutOptionsIsNeverAFile) {
    scratch_folder work;
    const std::vector<std::string> rows[] = {{"list", "--help"},
                                             {"verify", work / "a.exe", "-h"},
                                             {"extract", work / "a.exe", "--help"}};
    for (std::vector<std::string> args : rows) {
        args.insert(args.begin(), fenwix_tool());
        std::string err, out;
        EXPECT_EQ(run_host(args, &err, &out), 0) << args[1] << err;
        EXPECT_NE(out.find("\n  fenwix " + args[1] + " OUT.exe"), std::string::npos) << out;
    }
    EXPECT_TRUE(fs::is_empty(work.path));
}

// Each path below a folder with its kind and content.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        out[e.path()] = std::to_string(static_cast<int>(e.symlink_status().type())) +
                        (e.is_fifo() ? "" : read_file(e.path()));
    }
    return out;
}

// Every refusal of an input that would be destroyed or misread: one error
// line naming the problem, a non-zero exit, and nothing written or changed.
TEST(BuildCommandTest, RefusalsNameTheProblemAndTouchNothing) {
    scratch_folder work;
    const std::string tool = fenwix_tool(), app = work / "app", out = work / "out";
    bytes x86 = fake_windows_program(), dll = x86;
    x86[68] = 0x4C, x86[69] = 0x01;  // the machine: i386
    dll[87] = 0x20;                  // IMAGE_FILE_DLL
    write_file(app + "/main.exe", fake_windows_program());
    write_file(app + "/bin/x86.exe", x86);
    write_file(app + "/bin/dll.exe", dll);
    write_file(app + "/bin/run.exe", "@echo off\r\n");
    write_file(app + "/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/f.txt", "x");
    write_file(work / "block", "QJX");
    fs::create_directory_symlink(app, work / "app-link");
    fs::create_hard_link(work / "block", work / "block-link.exe");
    fs::create_directory(work / "folder.exe");
    fs::create_symlink(work / "block", work / "file-link");
    ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0600), 0);
    const std::string inside = "inside the application folder", not_file = "not a regular file";
    const struct {
        std::vector<std::string> args;
        std::string message_part;
    } rows[] = {
        {{tool, "pack", app, "-o", app + "/main.exe"}, inside},
        {{tool, "build", app, "-o", work / "app-link/../app/new.exe"}, inside},
        {{tool, "build", "--block", work / "block", "-o", work / "block-link.exe"}, "as --block"},
        {{tool, "pack", app, "-o", work / "fifo"}, not_file},
        {{tool, "pack", app, "-o", work / "file-link"}, not_file},
        {{tool, "build", app, "-o", work / "folder.exe"}, not_file},
        // No file descriptor left to open the deeper folders.
        {{"/bin/sh", "-c", "ulimit -n 16; exec \"$0\" pack \"$1\" -o \"$2\"", tool, app, out},
         "cannot read folder '" + app + "/d/d/"},
        {{tool, "pack", app, "--main", "bin/run.exe", "-o", out}, "no Windows executable header"},
        {{tool, "pack", app, "--main", "bin/x86.exe", "-o", out}, "other than x64"},
        {{tool, "pack", app, "--main", "bin/dll.exe", "-o", out}, "it is a DLL"},
        {{tool, "pack", app, "-o", out, "--output", out}, "--output is given more than once"},
    };
    const auto before = snapshot(work.path);
    for (const auto& row : rows) {
        std::string err;
        EXPECT_NE(run_host(row.args, &err), 0) << row.message_part;
        EXPECT_NE(err.find(row.message_part), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(snapshot(work.path), before) << err;
    }
}

// The stub the tool carries is checked like any other: a cut or damaged
// one must never turn into a broken executable.
TEST(BuildCommandTest, DamagedStubIsABuildError) {
    scratch_folder work;
    write_file(work / "block", "QJX");
    const std::string stub = read_file(launcher_stub());
    write_file(work / "cut.exe", stub.substr(0, stub.size() - 512));
    std::string flipped = stub;
    flipped[stub.size() / 2] = static_cast<char>(flipped[stub.size() / 2] ^ 0x20);
    write_file(work / "flipped.exe", flipped);
    for (const char* name : {"cut.exe", "flipped.exe"}) {
        std::string err;
        EXPECT_NE(run_host({fenwix_tool(), "build", "--block", work / "block", "-o",
                            work / "out.exe", "--stub", work / name},
                           &err),
                  0);
        EXPECT_NE(err.find("stub"), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(work / "out.exe"));
    }
}

// The progress line's share and time left, at the start, half way and the end.
TEST(BuildCommandTest, ProgressLineTellsShareRateAndTimeLeft) {
    const std::uint64_t mib = 1 << 20;
    const struct {
        std::uint64_t done, total;
        double seconds;
        const char* line;
    } rows[] = {
        {0, 100 * mib, 0.0, "packing  0.0 MiB of 100.0 MiB (0%), 0.0 MiB/s"},
        {25 * mib, 100 * mib, 1.0, "packing  25.0 MiB of 100.0 MiB (25%), 25.0 MiB/s, 3 s left"},
        {100 * mib, 100 * mib, 4.0, "packing  100.0 MiB of 100.0 MiB (100%), 25.0 MiB/s"},
        {0, 0, 1.0, "packing  0.0 MiB of 0.0 MiB (100%), 0.0 MiB/s"},
    };
    for (const auto& r : rows) {
        char line[160];
        progress_text(line, sizeof line, "packing", r.done, r.total, r.seconds);
        EXPECT_STREQ(line, r.line);
    }
}

// A long pack shows where it is on a terminal, and nowhere else: not in a
// log, and not with --quiet.
TEST(BuildCommandTest, ProgressLineOnlyOnATerminal) {
    scratch_folder work;
    write_file(work / "app/main.exe", fake_windows_program());
    bytes noise(16 << 20);
    std::uint32_t state = 1;
    for (unsigned char& b : noise)
        b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 24);
    write_file(work / "app/noise.bin", noise);  // several seconds at level 19
    for (const bool quiet : {false, true}) {
        std::vector<std::string> args = {
            "/usr/bin/python3", source_file("tests/host/on_terminal.py"),
            fenwix_tool(),      "pack",
            work / "app",       "-o",
            work / "block"};
        if (quiet) args.push_back("--quiet");
        std::string shown;
        ASSERT_EQ(run_host(args, nullptr, &shown), 0);
        if (quiet) {
            EXPECT_EQ(shown.find("packing"), std::string::npos) << shown;
        } else {
            EXPECT_NE(shown.find("packing  16.0 MiB of 16.0 MiB"), std::string::npos) << shown;
        }
    }
    std::string err;
    ASSERT_EQ(run_host({fenwix_tool(), "pack", work / "app", "-o", work / "block"}, &err), 0);
    EXPECT_EQ(err, "");
}

}  // namespace
