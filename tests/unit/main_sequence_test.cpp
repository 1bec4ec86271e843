// The main sequence's start-up and its publishing after unpacking, in this
// process: with the test build's block (no entries) it returns 0 after
// unpacking.
#include "launcher/environment.h"
#include "launcher/main_sequence.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n ? std::wstring(value, n) : std::wstring(L"(unset)");
}

TEST(MainSequenceTest, PreparesAndPublishesTheLauncherVariables) {
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_RANDOM", L"inheritedRnd");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_START", L"133000000000000000");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_TIME_US", L"000042");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_PARENT", L"999999");
    SetEnvironmentVariableW(L"FENWIX_ONEFILE_DIRECTORY", nullptr);

    wchar_t argv0[] = L"relative\\Tool";
    wchar_t* argv[] = {argv0, nullptr};
    EXPECT_EQ(run_launcher(1, argv), 0);

    EXPECT_EQ(variable(L"FENWIX_ONEFILE_RANDOM"), L"(unset)");
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_START"), L"(unset)");
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_TIME_US"), L"(unset)");
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_PARENT"), std::to_wstring(GetCurrentProcessId()));
    EXPECT_EQ(variable(L"FENWIX_ORIGINAL_ARGV0"), L"relative\\Tool");
    std::wstring own = get_own_path();
    EXPECT_EQ(variable(L"FENWIX_ONEFILE_DIRECTORY"), own.substr(0, own.rfind(L'\\')));
}

}  // namespace
