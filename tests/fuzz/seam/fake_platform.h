// The state behind the fake Windows calls of the fuzz build: the paths the
// system would report, the build-time texts and the environment. A fuzz
// target sets it from its input before each run.
#pragma once

#include <map>
#include <string>

struct fake_platform_state {
    std::wstring module_path;  // GetModuleFileNameW; empty makes it fail
    bool module_path_cut_unterminated =
        false;                   // cut as Windows XP and Wine do, not as later Windows
    std::wstring temp_path;      // GetTempPathW, ending in '\'; empty makes it fail
    std::wstring profile;        // SHGetFolderPathW(CSIDL_PROFILE); empty makes it fail
    std::wstring local_appdata;  // SHGetFolderPathW(CSIDL_LOCAL_APPDATA); the same
    std::wstring extraction_template, company, product, version;  // launcher_build_values
    std::map<std::wstring, std::wstring> environment;             // names in upper case
};

fake_platform_state& fake_platform();

// Back to a typical user's machine with an empty environment, and frees every
// copy _wcsdup handed out (the launcher keeps them until it exits).
void reset_fake_platform();
