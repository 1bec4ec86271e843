// A real runtime packed by the build command: Node.js for Windows with a
// script and its node_modules (build/node/app, which scripts/fetch-node.sh
// assembles from examples/node-hello), started through the launcher's fixed
// arguments, variables and current folder, under Wine.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct node_report {
    json report;  // what app\main.js wrote: args, cwd, env, ms
    run_result run;
};

// Runs exe with args; main.js writes its report to a file, since Node under
// Wine cannot write to a pipe, and exits with `exit_code`.
node_report run_node(const std::string& exe, const std::vector<std::string>& args,
                     run_options options, std::uint64_t exit_code) {
    scratch_folder files;
    options.env.push_back({"REPORT_FILE", windows_path(files / "report.json")});
    options.env.push_back({"EXIT_CODE", std::to_string(exit_code)});
    node_report r;
    r.run = run_windows(exe, args, options);
    const std::string text = read_file(files / "report.json");
    r.report = json::parse(text.empty() ? "null" : text);
    return r;
}

TEST(RuntimeTest, NodeStartsWithTheFixedArgumentsVariablesAndFolderItWasBuiltWith) {
    const std::string node_app = source_file("build/node/app");
    ASSERT_TRUE(fs::is_regular_file(node_app + "/node.exe") &&
                fs::is_directory(node_app + "/node_modules"))
        << node_app << " is missing or incomplete: scripts/fetch-node.sh makes it "
        << "(./fenwix test runs it in its set-up)";
    const std::vector<std::string> args = {"",
                                           "plain",
                                           "two words",
                                           " ",
                                           "",
                                           "quote\"inside",
                                           "\"",
                                           "trailing\\",
                                           "two trailing\\\\",
                                           "blank then backslash \\",
                                           "a\\\\\"b",
                                           "\\\\server\\share",
                                           "\xc3\xa9",
                                           "\xe6\x97\xa5\xe6\x9c\xac",
                                           "%PATH%",
                                           "^",
                                           "a & b",
                                           "tab\there",
                                           "--version",
                                           "{APP_DIR}",
                                           ""};

    // Node started directly from the assembled folder, the way the launcher
    // is to start it: the launched one must report the same arguments.
    run_options direct_options;
    direct_options.env = {{"NODE_SKIP_PLATFORM_CHECK", "1"}};
    direct_options.cwd = node_app;
    std::vector<std::string> direct_args = {"app\\main.js"};
    direct_args.insert(direct_args.end(), args.begin(), args.end());
    node_report direct = run_node(node_app + "/node.exe", direct_args, direct_options, 0);
    ASSERT_EQ(direct.run.exit_code, 0u) << direct.run.err;
    ASSERT_EQ(direct.report["args"], json(args)) << "Wine or the harness changed them";
    // Non-const: a missing member reads as null instead of failing an assertion.
    json& direct_env = direct.report["env"];
    ASSERT_FALSE(direct_env.value("USERNAME", "").empty());
    EXPECT_EQ(direct.report["ms"]["file"], windows_path(node_app) + "\\node_modules\\ms\\index.js");
    EXPECT_EQ(direct.report["ms"]["1.5h"], 1.5 * 60 * 60 * 1000);

    // The launcher once with --cwd app and once with the caller's folder (the
    // default); exit codes past 8 and 31 bits.
    for (const bool cwd_app : {true, false}) {
        SCOPED_TRACE(cwd_app ? "--cwd app" : "default current folder");
        scratch_folder work;
        const std::string exe = work / "node-hello.exe";
        const std::string app_dir = windows_path(work / "unpacked");
        // --level 1: node.exe is 80 MB, which level 19 takes half a minute to pack.
        std::vector<std::string> options = {
            "--main",  "node.exe", "--template", app_dir,
            "--level", "1",        "--arg",      "{APP_DIR}\\app\\main.js"};
        for (const char* variable :
             {"NODE_SKIP_PLATFORM_CHECK=1", "GREETING=hi %USERNAME%", "PATH={APP_DIR}\\bin;%PATH%",
              "MISSING=[%FENWIX_TEST_NOT_SET%]"}) {
            options.insert(options.end(), {"--env", variable});
        }
        if (cwd_app) options.insert(options.end(), {"--cwd", "app"});
        build_launcher(node_app, exe, options);
        std::string listed;
        ASSERT_EQ(run_host({fenwix_tool(), "list", exe}, nullptr, &listed), 0);
        EXPECT_NE(listed.find("arguments {APP_DIR}\\app\\main.js\nvariable  "
                              "NODE_SKIP_PLATFORM_CHECK=1\nvariable  GREETING=hi %USERNAME%\n"),
                  std::string::npos)
            << listed;
        EXPECT_NE(listed.find(cwd_app ? "\nfolder    app\n" : "\nfolder    caller\n"),
                  std::string::npos);

        run_options o;
        o.cwd = work.path;
        // Node starts only when the launcher sets the variable it needs.
        o.unset = {"NODE_SKIP_PLATFORM_CHECK", "FENWIX_TEST_NOT_SET"};
        o.env = {{"FENWIX_ONEFILE_TRACE", "1"}};  // the launcher's steps, for failures
        const std::uint64_t exit_code = cwd_app ? 0x12345 : 0xC0000005;
        node_report launched = run_node(exe, args, o, exit_code);
        ASSERT_EQ(launched.run.exit_code, exit_code) << launched.run.err;
        json& report = launched.report;
        EXPECT_EQ(report["args"], direct.report["args"]) << launched.run.err;
        EXPECT_EQ(report["cwd"], cwd_app ? app_dir : windows_path(work.path));
        EXPECT_EQ(report["env"]["NODE_SKIP_PLATFORM_CHECK"], "1");
        EXPECT_EQ(report["env"]["GREETING"], "hi " + direct_env["USERNAME"].get<std::string>());
        EXPECT_EQ(report["env"]["PATH"],
                  app_dir + "\\bin;" + direct_env["PATH"].get<std::string>());
        EXPECT_EQ(report["env"]["MISSING"], "[]");
        EXPECT_EQ(report["ms"]["file"], app_dir + "\\node_modules\\ms\\index.js");
        EXPECT_EQ(report["ms"]["1.5h"], direct.report["ms"]["1.5h"]);
    }
}

// An app as `npm install` leaves it: node_modules/.bin holds symbolic links
// to the packages' scripts. The links are packed as copies, so the .bin tool
// runs from the unpacked folder; a link leading outside the folder is
// refused until it is left out.
TEST(RuntimeTest, NpmAppWithBinLinksPacksAndItsToolRuns) {
    scratch_folder work;
    const std::string app = work / "app";
    fs::create_directories(app + "/node_modules/.bin");
    std::error_code ec;
    fs::create_hard_link(source_file("build/node/app/node.exe"), app + "/node.exe", ec);
    if (ec) fs::copy_file(source_file("build/node/app/node.exe"), app + "/node.exe");
    write_file(app + "/node_modules/greeter/bin/greet.js",
               "require('fs').writeFileSync(process.env.REPORT_FILE,\n"
               "  'greeted ' + process.argv.slice(2).join(' '));\n"
               "process.exit(7);\n");
    fs::create_symlink("../greeter/bin/greet.js", app + "/node_modules/.bin/greet");
    fs::create_symlink(work.path, app + "/node_modules/.bin/elsewhere");
    const std::vector<std::string> options = {"--main",     "node.exe",
                                              "--template", windows_path(work / "unpacked"),
                                              "--level",    "1",
                                              "--arg",      "{APP_DIR}\\node_modules\\.bin\\greet",
                                              "--env",      "NODE_SKIP_PLATFORM_CHECK=1"};
    std::vector<std::string> args = {fenwix_tool(), "build", app, "-o", work / "greet.exe"};
    args.insert(args.end(), options.begin(), options.end());
    std::string err;
    ASSERT_NE(run_host(args, &err), 0);
    EXPECT_NE(err.find("'node_modules/.bin/elsewhere' leads outside the folder"), std::string::npos)
        << err;
    args.insert(args.end(), {"--exclude", "node_modules/.bin/elsewhere"});
    ASSERT_EQ(run_host(args, &err), 0) << err;
    // node.exe is the runtime here: the launcher is not named Node.js.
    std::string listed;
    ASSERT_EQ(run_host({fenwix_tool(), "list", work / "greet.exe"}, nullptr, &listed), 0);
    EXPECT_NE(listed.find("\nproduct   greet\n"), std::string::npos) << listed;

    run_options o;
    o.env = {{"REPORT_FILE", windows_path(work / "report.txt")}};
    const run_result r = run_windows(work / "greet.exe", {"a", "b"}, o);
    EXPECT_EQ(r.exit_code, 7u) << r.err;
    EXPECT_EQ(read_file(work / "report.txt"), "greeted a b");
    EXPECT_EQ(read_file(work / "unpacked/node_modules/.bin/greet"),
              read_file(app + "/node_modules/greeter/bin/greet.js"));
}

}  // namespace
