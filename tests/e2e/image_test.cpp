// The executable as other tools see it: the same bytes from every build, a
// sound image for an independent PE parser, an Authenticode signature that
// verifies and still runs, no program started to make it, and a package a
// user installs without this repository.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

int check_pe(const std::string& exe, std::string* problems) {
    return run_host({"/usr/bin/python3", source_file("tests/e2e/check_pe.py"), exe}, problems);
}

TEST(ImageTest, SameBytesEveryBuildAndSoundForAnIndependentParser) {
    scratch_folder work;
    // The same name in two folders: without --product the name gives the product.
    fs::create_directories(work / "second");
    build_launcher(example_app_dir(), work / "first.exe");
    // Whatever the clock says: a later build writes the same bytes.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    build_launcher(example_app_dir(), work / "second/first.exe");
    EXPECT_TRUE(read_file(work / "first.exe") == read_file(work / "second/first.exe"));

    build_launcher(
        example_app_dir(), work / "custom.exe",
        {"--product", "T\xc3\xb6\xc3\xb6l", "--company", "", "--version", "2.7.65535.0"});
    for (const char* exe : {"first.exe", "custom.exe"}) {
        std::string problems;
        EXPECT_EQ(check_pe(work / exe, &problems), 0) << exe << ": " << problems;
    }
}

TEST(ImageTest, SignedLauncherVerifiesAndStillRunsItsChild) {
    scratch_folder work;
    std::string err;
    ASSERT_EQ(run_host({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        work / "key.pem", "-out", work / "cert.pem", "-days", "2", "-subj",
                        "/CN=Fenwix throwaway signer", "-addext", "extendedKeyUsage=codeSigning"},
                       &err),
              0)
        << err;
    // The default icon, then one-image icons 512 bytes apart, so that the
    // resources end at every 512-byte step of a page: the padding up to the
    // values section's page then stays within their pages or runs past them.
    std::vector<std::vector<std::string>> icons = {{}};
    for (std::uint32_t step = 0; step < 8; ++step) {
        const std::uint32_t size = 1000 + 512 * step;
        bytes ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};  // header, entry to the size
        for (std::uint32_t v : {size, 22u}) {
            for (int i = 0; i < 4; ++i) ico.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
        ico.resize(22 + size, 0x5A);
        const std::string name = work / ("icon" + std::to_string(step) + ".ico");
        write_file(name, ico);
        icons.push_back({"--icon", name});
    }
    for (const std::vector<std::string>& icon : icons) {
        SCOPED_TRACE(icon.empty() ? "default icon" : icon[1]);
        std::vector<std::string> options = {"--template", windows_path(work / "target")};
        options.insert(options.end(), icon.begin(), icon.end());
        build_launcher(example_app_dir(), work / "app.exe", options);
        EXPECT_EQ(check_pe(work / "app.exe", &err), 0) << err;
        fs::remove(work / "signed.exe");
        ASSERT_EQ(
            run_host({"osslsigncode", "sign", "-certs", work / "cert.pem", "-key", work / "key.pem",
                      "-n", "Orvelle", "-in", work / "app.exe", "-out", work / "signed.exe"},
                     &err),
            0)
            << err;
        EXPECT_EQ(run_host({"osslsigncode", "verify", "-CAfile", work / "cert.pem", "-in",
                            work / "signed.exe"},
                           &err),
                  0)
            << err;
        // Also the digest Windows computes, not only the one osslsigncode does.
        EXPECT_EQ(check_pe(work / "signed.exe", &err), 0) << err;

        const run_result r = run_windows(work / "signed.exe", {"--exit", "5"});
        EXPECT_EQ(r.exit_code, 5u) << r.out << r.err;
        EXPECT_NE(r.out.find("Hello from Orvelle's data file."), std::string::npos) << r.out;
    }
    EXPECT_TRUE(fs::exists(work / "target/lib/greet.dll"));
}

TEST(ImageTest, BuildStartsNoOtherProgram) {
    scratch_folder work;
    std::string err;
    // LeakSanitizer cannot check a traced process: in the sanitizer build
    // every other test checks for leaks.
    ASSERT_EQ(run_host({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-e",
                        "trace=execve", "-o", work / "trace", fenwix_tool(), "build",
                        example_app_dir(), "-o", work / "app.exe"},
                       &err),
              0)
        << err;
    std::ifstream trace(work / "trace");
    std::vector<std::string> started;
    for (std::string line; std::getline(trace, line);) {
        if (line.find("execve(") != std::string::npos) started.push_back(line);
    }
    ASSERT_EQ(started.size(), 1u) << started.back();
    EXPECT_NE(started[0].find(fenwix_tool()), std::string::npos) << started[0];
    EXPECT_TRUE(fs::exists(work / "app.exe"));
}

// The package as a user gets it: unpacked, never installed by this
// repository's build, its fenwix makes a launcher that runs.
TEST(PackageTest, DebianPackageToolBuildsALauncherThatRuns) {
    std::string deb;
    for (const auto& e : fs::directory_iterator(dist_folder())) {
        const std::string name = e.path().filename().string();
        if (name.rfind("fenwix_", 0) == 0 && name.size() > 10 &&
            name.compare(name.size() - 10, 10, "_amd64.deb") == 0) {
            deb = e.path().string();
        }
    }
    ASSERT_FALSE(deb.empty()) << "no package in " << dist_folder() << " (./fenwix dist)";
    scratch_folder work;
    std::string err;
    ASSERT_EQ(run_host({"dpkg", "-x", deb, work / "root"}, &err), 0) << err;
    ASSERT_EQ(run_host({work / "root/usr/bin/fenwix", "build", example_app_dir(), "-o",
                        work / "Orvelle.exe", "--template", windows_path(work / "target")},
                       &err),
              0)
        << err;
    const run_result r = run_windows(work / "Orvelle.exe", {"from", "the package"});
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    EXPECT_NE(r.out.find("[2] the package"), std::string::npos) << r.out;
}

}  // namespace
