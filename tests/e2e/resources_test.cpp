// The built image's manifest, icon group and version resource, read back
// under Wine through GetFileVersionInfoW, VerQueryValueW and FindResourceW.
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct resources {
    std::string fixed, translation, manifest;
    int icons = -1;
    std::map<std::string, std::string> strings;
};

resources read_resources(const std::string& exe) {
    const run_result r = run_windows(resource_probe_program(), {windows_path(exe)});
    EXPECT_EQ(r.exit_code, 0u) << r.err;
    resources out;
    std::istringstream lines(r.out);
    std::string line;
    bool in_manifest = false;
    while (std::getline(lines, line)) {
        if (in_manifest) {
            out.manifest += line + "\n";
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("fixed ", 0) == 0) out.fixed = line.substr(6);
        if (line.rfind("translation ", 0) == 0) out.translation = line.substr(12);
        if (line.rfind("icons ", 0) == 0) out.icons = std::stoi(line.substr(6));
        if (line.rfind("string ", 0) == 0) {
            const auto eq = line.find('=');
            out.strings[line.substr(7, eq - 7)] = line.substr(eq + 1);
        }
        if (line == "manifest") in_manifest = true;
    }
    return out;
}

std::string build_with(const scratch_folder& work, const std::vector<std::string>& extra) {
    write_file(work / "app/tool.exe", fake_windows_program());
    build_launcher(work / "app", work / "out.exe", extra);
    return work / "out.exe";
}

// A main program without a version resource: the names come from the
// output's file name, and nothing made up fills the rest.
TEST(ResourcesTest, DefaultValuesManifestAndNineIcons) {
    scratch_folder work;
    const resources r = read_resources(build_with(work, {}));
    EXPECT_EQ(r.fixed, "0.0.0.0 0.0.0.0");
    EXPECT_EQ(r.translation, "0000 04b0");
    const std::map<std::string, std::string> expected = {
        {"CompanyName", ""},     {"ProductName", "out"},          {"FileDescription", "out"},
        {"LegalCopyright", ""},  {"FileVersion", "0.0.0.0"},      {"ProductVersion", "0.0.0.0"},
        {"InternalName", "out"}, {"OriginalFilename", "out.exe"},
    };
    EXPECT_EQ(r.strings, expected);
    EXPECT_EQ(r.icons, 9);
    for (const char* part :
         {"level=\"asInvoker\"", ">true</longPathAware>",
          "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
          "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
          "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
          "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(r.manifest.find(part), std::string::npos) << part;
    }
}

// Two vendors' applications built without any name or template: each
// launcher says what its main program says and unpacks into a folder of its
// own, %LOCALAPPDATA%\<company>\<product>, and neither disturbs the other.
// Each main program is itself a launcher fenwix built with explicit names
// (so it has a version resource) around the probe child.
TEST(ResourcesTest, NamesAndFolderComeFromTheMainProgramsVersionResource) {
    scratch_folder work;
    const std::string company = name_of_this_run("Fenwix Tests " + std::to_string(getpid()));
    const std::string products[] = {"Alpha Tool", "Beta Tool"};
    std::string folders[2];
    for (int i = 0; i < 2; ++i) {
        const std::string inner = work / ("inner" + std::to_string(i));
        write_file(inner + "/probe.exe", probe_child_bytes());
        write_file(inner + "/which.txt", products[i]);
        fs::create_directories(work / ("app" + std::to_string(i)));
        build_launcher(inner, work / ("app" + std::to_string(i)) + "/main.exe",
                       {"--product", products[i], "--company", company, "--version",
                        "3.4." + std::to_string(i) + ".6", "--description", products[i] + " itself",
                        "--copyright", "(C) " + company, "--template",
                        windows_path(work / "inner-target") + std::to_string(i)});
        build_launcher(work / ("app" + std::to_string(i)),
                       work / ("outer" + std::to_string(i)) + ".exe");
        folders[i] = "users/*/AppData/Local/" + company + "/" + products[i];
    }
    const resources r = read_resources(work / "outer1.exe");
    EXPECT_EQ(r.fixed, "3.4.1.6 3.4.1.6");
    const std::map<std::string, std::string> expected = {
        {"CompanyName", company},
        {"ProductName", "Beta Tool"},
        {"FileDescription", "Beta Tool itself"},
        {"LegalCopyright", "(C) " + company},
        {"FileVersion", "3.4.1.6"},
        {"ProductVersion", "3.4.1.6"},
        {"InternalName", "Beta Tool"},
        {"OriginalFilename", "Beta Tool.exe"},
    };
    EXPECT_EQ(r.strings, expected);

    run_options o;
    o.env = {{"PROBE_EXIT", "41"}};
    for (const int i : {0, 1, 0}) {
        EXPECT_EQ(run_windows(work / ("outer" + std::to_string(i)) + ".exe", {}, o).exit_code, 41u);
    }
    for (int i = 0; i < 2; ++i) {
        const std::string folder = prefix_folder(folders[i]);
        ASSERT_FALSE(folder.empty()) << folders[i];
        EXPECT_EQ(read_file(folder + "/main.exe"),
                  read_file(work / ("app" + std::to_string(i)) + "/main.exe"));
        EXPECT_EQ(read_file(work / ("inner-target" + std::to_string(i)) + "/which.txt"),
                  products[i]);
    }
    fs::remove_all(fs::path(prefix_folder(folders[0])).parent_path());
}

TEST(ResourcesTest, ValuesGivenToBuildAppearAsGiven) {
    scratch_folder work;
    const std::string company = "Acme \"Q\" & Co \\ \xc2\xa9";
    const std::string product = "T\xc3\xb6\xc3\xb6l \xe4\xb8\xad";
    const resources r =
        read_resources(build_with(work, {"--company", company, "--product", product, "--version",
                                         "2.7.65535.0", "--template", "{CACHE_DIR}\\Tool"}));
    EXPECT_EQ(r.fixed, "2.7.65535.0 2.7.65535.0");
    EXPECT_EQ(r.strings.at("CompanyName"), company);
    EXPECT_EQ(r.strings.at("ProductName"), product);
    EXPECT_EQ(r.strings.at("FileDescription"), product);
    EXPECT_EQ(r.strings.at("LegalCopyright"), "Copyright (C) " + company);
    EXPECT_EQ(r.strings.at("FileVersion"), "2.7.65535.0");
    EXPECT_EQ(r.strings.at("ProductVersion"), "2.7.65535.0");
    EXPECT_EQ(r.strings.at("InternalName"), product);
    EXPECT_EQ(r.strings.at("OriginalFilename"), product + ".exe");
}

TEST(ResourcesTest, IconOptionReplacesTheIconGroup) {
    scratch_folder work;
    // One 1x1 image, 32 bits per pixel, as a bitmap with its AND mask.
    bytes ico = {0, 0, 1, 0, 1, 0,                                    // header: icon, one image
                 1, 1, 0, 0, 1, 0, 32, 0, 48, 0, 0, 0, 22, 0, 0, 0};  // entry: 48 bytes at 22
    const bytes dib = {40, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0,   0,   1, 0, 32, 0,
                       0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0,   0,   0, 0, 0,  0,
                       0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 0, 0, 0,  0};
    ico.insert(ico.end(), dib.begin(), dib.end());
    write_file(work / "one.ico", ico);
    EXPECT_EQ(read_resources(build_with(work, {"--icon", work / "one.ico"})).icons, 1);

    write_file(work / "not.ico", "GIF89a");
    std::string err;
    EXPECT_NE(run_host({fenwix_tool(), "build", work / "app", "-o", work / "bad.exe", "--icon",
                        work / "not.ico"},
                       &err),
              0);
    EXPECT_NE(err.find("not a Windows .ico file"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(work / "bad.exe"));
}

}  // namespace
