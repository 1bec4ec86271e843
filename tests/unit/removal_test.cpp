// Removal from handles: the decisions over every case, including those Wine
// cannot stage (a mapped image refusing writing, a swap between the listing
// and the open), and the handle checks on the real file system.
#include "launcher/unpack/remove_by_handle.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace rr = removal_rules;

namespace {

constexpr DWORD dir = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;

TEST(RemovalRulesTest, OnlyTheRealFolderListedInTheHeldParentIsTouched) {
    const struct {
        DWORD attributes;
        std::uint64_t id;
        bool in_parent;
        rr::candidate_fault want;
    } cases[] = {
        {dir, 7, true, rr::candidate_fault::none},
        {dir | link, 7, true, rr::candidate_fault::a_link},  // a junction swapped in
        {link, 7, true, rr::candidate_fault::a_link},
        {FILE_ATTRIBUTE_NORMAL, 7, true, rr::candidate_fault::not_a_folder},
        {dir, 8, true, rr::candidate_fault::other_id},  // another folder moved in
        {dir, 7, false, rr::candidate_fault::elsewhere},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rr::judge_candidate(c.attributes, c.id, 7, c.in_parent), c.want)
            << c.attributes << " " << c.id << " " << c.in_parent;
    }
    const auto same = [](const wchar_t* a, std::size_t an, const wchar_t* b, std::size_t bn) {
        return CompareStringOrdinal(a, static_cast<int>(an), b, static_cast<int>(bn), TRUE) ==
               CSTR_EQUAL;
    };
    const struct {
        const wchar_t *parent, *child;
        bool want;
    } names[] = {
        {L"\\??\\C:\\cache", L"\\??\\C:\\cache\\1.0.0.0", true},
        {L"\\??\\C:\\CACHE", L"\\??\\c:\\cache\\1.0.0.0", true},
        {L"\\??\\D:\\", L"\\??\\D:\\1.0.0.0", true},
        {L"\\??\\C:\\cache", L"\\??\\C:\\cache\\sub\\1.0.0.0", false},
        {L"\\??\\C:\\cache", L"\\??\\C:\\cache2\\1.0.0.0", false},
        {L"\\??\\C:\\cache", L"\\??\\C:\\cache\\1.0.0.00", false},
        {L"\\??\\C:\\cache", L"\\??\\C:\\victim", false},
        {L"\\??\\C:\\cache", L"\\??\\C:\\cache", false},
    };
    for (const auto& n : names) {
        EXPECT_EQ(rr::is_child_of(n.parent, n.child, L"1.0.0.0", same), n.want) << n.child;
    }
}

TEST(RemovalRulesTest, AVersionGoesOnlyWhenNothingRunsFromIt) {
    const struct {
        DWORD code;
        bool read_only;
        rr::image_use want;
    } cases[] = {
        {ERROR_SUCCESS, false, rr::image_use::free},
        {ERROR_FILE_NOT_FOUND, false, rr::image_use::free},
        {ERROR_SHARING_VIOLATION, false, rr::image_use::in_use},  // mapped, or open
        {ERROR_USER_MAPPED_FILE, false, rr::image_use::in_use},
        {ERROR_LOCK_VIOLATION, true, rr::image_use::in_use},
        {ERROR_ACCESS_DENIED, true, rr::image_use::read_only},
        {ERROR_ACCESS_DENIED, false, rr::image_use::unsure},
        {ERROR_NOT_ENOUGH_MEMORY, false, rr::image_use::unsure},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rr::judge_image_open(c.code, c.read_only), c.want) << c.code;
    }
    EXPECT_TRUE(rr::folder_is_free(false, rr::image_use::free));
    EXPECT_FALSE(rr::folder_is_free(true, rr::image_use::free));
    EXPECT_FALSE(rr::folder_is_free(false, rr::image_use::in_use));
    EXPECT_FALSE(rr::folder_is_free(false, rr::image_use::unsure));
    for (const wchar_t* name : {L"a.exe", L"B.DLL", L"x.Exe", L"lib.dll"}) {
        EXPECT_TRUE(rr::is_image_name(name)) << name;
    }
    for (const wchar_t* name : {L"exe", L".ex", L"a.exe.txt", L"a.dl", L"adll", L"a.sys"}) {
        EXPECT_FALSE(rr::is_image_name(name)) << name;
    }
}

std::wstring fresh_folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"fenwix-removal-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount64());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void make_file(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    const HANDLE f =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    CloseHandle(f);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// What a swap between the listing and the open gives: whatever now has the
// name is refused, and the folder listed is removed whole through its handle.
TEST(RemovalTest, ASwapAfterTheListingIsRefusedAndTheListedFolderGoesWhole) {
    const std::wstring parent = fresh_folder();
    wchar_t parent_final[final_name_capacity];
    const HANDLE held = hold_parent_folder(parent.c_str(), parent_final);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::wstring v = parent + L"\\1.0.0.0";
    ASSERT_TRUE(CreateDirectoryW(v.c_str(), nullptr));
    listed_entry listed{};
    ASSERT_TRUE(next_listed(held, listed, true));  // the one name listed
    ASSERT_STREQ(listed.name, L"1.0.0.0");
    EXPECT_FALSE(next_listed(held, listed, false));
    ASSERT_TRUE(next_listed(held, listed, true));

    rr::candidate_fault fault;
    const std::wstring moved = parent + L"\\moved";
    ASSERT_TRUE(MoveFileW(v.c_str(), moved.c_str()));
    ASSERT_TRUE(CreateDirectoryW(v.c_str(), nullptr));  // another folder, same name
    EXPECT_EQ(open_candidate(held, parent_final, listed, DELETE, 0, fault), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fault, rr::candidate_fault::other_id);
    ASSERT_TRUE(RemoveDirectoryW(v.c_str()));
    make_file(v);  // a file, same name
    EXPECT_EQ(open_candidate(held, parent_final, listed, DELETE, 0, fault), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fault, rr::candidate_fault::not_a_folder);
    ASSERT_TRUE(DeleteFileW(v.c_str()));

    // Back in place, with a tree: a read-only program, nested folders, the
    // marker last.
    ASSERT_TRUE(MoveFileW(moved.c_str(), v.c_str()));
    ASSERT_TRUE(CreateDirectoryW((v + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((v + L"\\a\\b").c_str(), nullptr));
    make_file(v + L"\\a\\b\\tool.exe", FILE_ATTRIBUTE_READONLY);
    make_file(v + L"\\a\\data.bin");
    make_file(v + L"\\.fenwix-version");
    const HANDLE folder = open_candidate(
        held, parent_final, listed, DELETE | FILE_LIST_DIRECTORY | FILE_WRITE_ATTRIBUTES, 0, fault);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE) << static_cast<int>(fault);
    EXPECT_EQ(images_in_use(folder), rr::image_use::free);
    EXPECT_TRUE(empty_and_remove(folder, L".fenwix-version", [] { return false; }));
    CloseHandle(folder);
    EXPECT_FALSE(exists(v));
    CloseHandle(held);
    RemoveDirectoryW(parent.c_str());
}

}  // namespace
