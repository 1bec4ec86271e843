// The launcher's environment operations and its own path, on the real
// process environment and file system.
#include "launcher/base/environment.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(EnvironmentTest, SetReadAndClearRoundTrip) {
    set_environment_variable("FENWIX_TEST_VALUE", L"a b\u00e9\u4e2d");
    wchar_t* value = read_environment_variable("FENWIX_TEST_VALUE");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, L"a b\u00e9\u4e2d");
    free(value);
    clear_environment_variable("FENWIX_TEST_VALUE");
    EXPECT_EQ(read_environment_variable("FENWIX_TEST_VALUE"), nullptr);
    clear_environment_variable("FENWIX_TEST_VALUE");  // removing an unset variable is harmless
    EXPECT_EQ(read_environment_variable("FENWIX_TEST_VALUE"), nullptr);
}

TEST(EnvironmentTest, EmptyValueReadsLikeAnUnsetOne) {
    SetEnvironmentVariableW(L"FENWIX_TEST_EMPTY", L"");
    EXPECT_EQ(read_environment_variable("FENWIX_TEST_EMPTY"), nullptr);
}

TEST(EnvironmentTest, LongValuesAreReadWhole) {
    const std::wstring long_value(20000, L'x');
    ASSERT_TRUE(SetEnvironmentVariableW(L"FENWIX_TEST_LONG", long_value.c_str()));
    wchar_t* value = read_environment_variable("FENWIX_TEST_LONG");
    ASSERT_NE(value, nullptr);
    EXPECT_TRUE(std::wstring(value) == long_value) << "length " << wcslen(value);
}

TEST(EnvironmentTest, NamesUpTo39CharactersWiden) {
    wchar_t out[env_name_capacity];
    const std::string name39(39, 'N');
    widen_ascii(name39.c_str(), out, env_name_capacity);
    EXPECT_EQ(std::wstring(out), std::wstring(39, L'N'));
}

TEST(EnvironmentDeathTest, A40CharacterNameEndsTheProcessAbnormally) {
    wchar_t out[env_name_capacity];
    const std::string name40(40, 'N');
    EXPECT_DEATH(widen_ascii(name40.c_str(), out, env_name_capacity), "");
}

TEST(OwnPathTest, IsTheModuleWithItsFolderInShortForm) {
    wchar_t module[MAX_PATH * 2];
    GetModuleFileNameW(nullptr, module, MAX_PATH * 2);
    std::wstring folder(module);
    const std::wstring name = folder.substr(folder.rfind(L'\\') + 1);
    folder.resize(folder.rfind(L'\\'));
    wchar_t short_folder[MAX_PATH * 2];
    const DWORD n = GetShortPathNameW(folder.c_str(), short_folder, MAX_PATH * 2);
    const std::wstring expected_folder = n ? std::wstring(short_folder) : folder;

    const wchar_t* own = get_own_path();
    EXPECT_EQ(std::wstring(own), expected_folder + L"\\" + name);
    EXPECT_EQ(get_own_path(), own);  // computed once, the same buffer after
}

}  // namespace
