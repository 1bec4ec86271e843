// fenwix.exe under Wine and the Linux tool turn the same folder into the same
// executable: names outside ASCII read alike through UTF-16 and UTF-8, both
// link the same Zstandard with the same settings, and both carry one stub;
// both write the same bill of materials of it.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Text with stretches of noise, so the compressor has real choices to make.
std::string mixed_content(std::size_t size) {
    std::string out;
    std::uint32_t state = 12345;
    const auto next = [&]() { return state = state * 1664525u + 1013904223u; };
    while (out.size() < size) {
        if (next() % 4 == 0) {
            for (int i = next() % 300; i > 0; --i) out += static_cast<char>(next() >> 24);
        } else {
            for (int i = next() % 40; i > 0; --i)
                out += "word" + std::to_string(next() % 700) + ' ';
            out += '\n';
        }
    }
    out.resize(size);
    return out;
}

TEST(WindowsToolTest, BuildsTheSameExecutableAsTheHostToolAndItRuns) {
    scratch_folder work;
    const std::string app = work / "appli été";
    fs::create_directories(app);
    fs::copy(example_app_dir(), app, fs::copy_options::recursive);
    write_file(app + "/données/été.txt", "bonjour");
    write_file(app + "/😀.txt", "smile");  // a UTF-16 surrogate pair
    write_file(app + "/日本/data.bin", mixed_content(5 << 20));
    const std::vector<std::string> values = {
        "--product", "Tööl", "--version", "2.7.0.1", "--template", windows_path(work / "target")};

    std::vector<std::string> host_args = {fenwix_tool(), "build", app, "-o", work / "host.exe"};
    host_args.insert(host_args.end(), values.begin(), values.end());
    std::string err;
    ASSERT_EQ(run_host(host_args, &err), 0) << err;
    run_options options;
    // Wine reads the UTF-8 command line and file names by the Linux locale.
    options.env = {{"LC_ALL", "C.UTF-8"}};
    std::vector<std::string> windows_args = {"build", windows_path(app), "-o",
                                             windows_path(work / "windows.exe")};
    windows_args.insert(windows_args.end(), values.begin(), values.end());
    const run_result r = run_windows(windows_tool(), windows_args, options);
    ASSERT_EQ(r.exit_code, 0u) << r.err;

    const std::string host_exe = read_file(work / "host.exe");
    const std::string windows_exe = read_file(work / "windows.exe");
    EXPECT_TRUE(windows_exe == host_exe)
        << "fenwix.exe wrote " << windows_exe.size() << " bytes, the host tool " << host_exe.size();

    // Its bill of materials too: the same bytes on both hosts, though its
    // entries pass through a Windows pipe and its names through UTF-16.
    std::string host_bom;
    ASSERT_EQ(run_host({fenwix_tool(), "sbom", work / "host.exe"}, &err, &host_bom), 0) << err;
    const run_result bom = run_windows(
        windows_tool(),
        {"sbom", windows_path(work / "host.exe"), "-o", windows_path(work / "bom.json")}, options);
    ASSERT_EQ(bom.exit_code, 0u) << bom.err;
    EXPECT_EQ(read_file(work / "bom.json"), host_bom);

    const run_result launched = run_windows(work / "windows.exe", {"--exit", "3"});
    EXPECT_EQ(launched.exit_code, 3u) << launched.out << launched.err;
    EXPECT_EQ(read_file(work / "target/日本/data.bin"), mixed_content(5 << 20));
}

}  // namespace
