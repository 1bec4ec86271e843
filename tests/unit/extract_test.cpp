// Extraction on the real file system: the checksum test, folder creation,
// and writing or skipping an entry's data read from a real stream reader.
#include "launcher/unpack/checksum.h"
#include "launcher/unpack/confine.h"
#include "launcher/unpack/folder_lock.h"
#include "launcher/unpack/known_folders.h"
#include "launcher/platform/owner_only.h"
#include "launcher/unpack/quick_check.h"
#include "launcher/unpack/write_entry.h"
#include "format/block.h"
#include "launcher/unpack/reader.h"
#include "tests/support/zstd_frames.h"

#include <windows.h>
#include <aclapi.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// A fresh folder under the temporary folder, for one test.
std::wstring scratch_folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"fenwix-extract-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount64());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void write_file(const std::wstring& path, const std::string& content) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(f);
}

std::string read_file(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return "(missing)";
    std::string out;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    CloseHandle(f);
    return out;
}

std::uint32_t checksum_of(const std::string& data) {
    const uLong crc =
        crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    return payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc));
}

std::uint64_t last_write(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

bytes as_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// Opens the stream reader over content followed by a marker, so a test can
// check that exactly the entry's bytes were consumed.
struct stream_over {
    bytes input;
    explicit stream_over(const std::string& content) {
        input = raw_frame(as_bytes(content + "NEXT"));
        payload_reader_open(input.data(), input.size());
    }
    std::string rest() {
        char next[4];
        payload_read(next, 4);
        payload_reader_close();
        return std::string(next, 4);
    }
};

TEST(FileChecksumTest, MissingEmptyAndKnownContent) {
    const std::wstring dir = scratch_folder();
    EXPECT_EQ(file_checksum((dir + L"\\missing").c_str()), 0u);
    write_file(dir + L"\\empty", "");
    EXPECT_EQ(file_checksum((dir + L"\\empty").c_str()), 1u);  // readable, so not "missing"
    write_file(dir + L"\\abc", "abc");
    EXPECT_EQ(file_checksum((dir + L"\\abc").c_str()), 0x352441C2u);
    EXPECT_EQ(file_checksum(dir.c_str()), 0u);  // a folder is no readable file
}

TEST(FileChecksumTest, FileHeldOpenForWritingByAnotherHandleIsStillRead) {
    const std::wstring dir = scratch_folder();
    const std::wstring path = dir + L"\\busy.exe";
    write_file(path, "running program");
    HANDLE holder =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_checksum(path.c_str()), checksum_of("running program"));
    CloseHandle(holder);
}

TEST(FileChecksumTest, FilesOf4GiBAndMoreAreCheckedOverTheirFullLength) {
    const std::wstring dir = scratch_folder();
    const std::wstring path = dir + L"\\big.bin";
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(f, "abc", 3, &written, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = (1ll << 32) + 3;  // its low 32 bits alone say "3 bytes"
    ASSERT_TRUE(SetFilePointerEx(f, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(f));
    CloseHandle(f);
    const std::uint32_t sum = file_checksum(path.c_str());
    DeleteFileW(path.c_str());
    EXPECT_NE(sum, checksum_of("abc"));
    EXPECT_NE(sum, 0u);
}

TEST(FolderTest, NestedFoldersAreCreatedAndBareDrivesNeverTouched) {
    const std::wstring dir = scratch_folder();
    const std::wstring file = dir + L"\\a\\b\\\u4e2d\\file.txt";
    EXPECT_TRUE(create_parent_folders(file.c_str()));
    EXPECT_NE(GetFileAttributesW((dir + L"\\a\\b\\\u4e2d").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(ensure_folder(L"Q:"));  // no such drive, and still no call for it
    EXPECT_TRUE(create_parent_folders(L"file-without-folder"));
    write_file(dir + L"\\plain", "x");
    EXPECT_FALSE(ensure_folder((dir + L"\\plain\\sub").c_str()));
    EXPECT_FALSE(create_parent_folders((dir + L"\\plain\\sub\\f").c_str()));
}

// The access list of a folder: which identities it grants anything, and
// whether it is protected from what the folder above would pass on.
struct granted {
    bool protected_list = false, everyone = false, others = false;
    int user_system_admins = 0;
};
granted access_list_of(const SECURITY_DESCRIPTOR* given, const std::wstring& folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR read = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (given != nullptr) {
        GetSecurityDescriptorDacl(const_cast<SECURITY_DESCRIPTOR*>(given), &present, &dacl,
                                  &defaulted);
    } else {
        GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &read);
    }
    granted out;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(given != nullptr ? const_cast<SECURITY_DESCRIPTOR*>(given) : read,
                                 &control, &revision);
    out.protected_list = (control & SE_DACL_PROTECTED) != 0;
    // The user's identity, SYSTEM, the Administrators, Everyone.
    unsigned char sids[4][SECURITY_MAX_SID_SIZE];
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    CopySid(SECURITY_MAX_SID_SIZE, sids[0], reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    const WELL_KNOWN_SID_TYPE kinds[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid,
                                         WinWorldSid};
    for (int i = 0; i < 3; ++i) {
        size = SECURITY_MAX_SID_SIZE;
        CreateWellKnownSid(kinds[i], nullptr, sids[i + 1], &size);
    }
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        GetAce(dacl, i, reinterpret_cast<void**>(&ace));
        PSID sid = &ace->SidStart;
        constexpr BYTE below = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        if (EqualSid(sid, sids[3])) {
            out.everyone = true;
        } else if (EqualSid(sid, sids[0]) || EqualSid(sid, sids[1]) || EqualSid(sid, sids[2])) {
            out.user_system_admins += (ace->Header.AceFlags & below) == below ? 1 : 0;
        } else {
            out.others = true;
        }
    }
    if (read != nullptr) LocalFree(read);
    return out;
}

// What the launcher hands to the system for every folder it makes, and
// what the folder has once made: Wine keeps no access list, but turns it
// into the folder's mode, so a list that grants nothing to Everyone reads
// back so, unlike that of a folder made without one.
TEST(FolderTest, FoldersMadeGrantOnlyTheUserSystemAndAdministrators) {
    const SECURITY_ATTRIBUTES* attributes = owner_only_attributes();
    ASSERT_NE(attributes, nullptr);
    const granted given = access_list_of(
        static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor), L"");
    EXPECT_TRUE(given.protected_list);
    EXPECT_EQ(given.user_system_admins, 3);
    EXPECT_FALSE(given.everyone || given.others);

    const std::wstring dir = scratch_folder();
    const std::wstring made = dir + L"\\made", plain = dir + L"\\plain";
    ASSERT_TRUE(create_parent_folders((made + L"\\inner\\file.txt").c_str()));
    ASSERT_TRUE(CreateDirectoryW(plain.c_str(), nullptr));
    for (const std::wstring& folder : {made, made + L"\\inner"}) {
        const granted read = access_list_of(nullptr, folder);
        EXPECT_FALSE(read.everyone || read.others);
        EXPECT_GE(read.user_system_admins, 1);
    }
    EXPECT_TRUE(access_list_of(nullptr, plain).everyone);

    EXPECT_TRUE(owner_is_acceptable(true, false));
    EXPECT_TRUE(owner_is_acceptable(false, true));
    EXPECT_FALSE(owner_is_acceptable(false, false));  // another, ordinary user
}

TEST(FolderTest, HundredsOfMissingLevelsAreCreatedDeepestLast) {
    const std::wstring dir = scratch_folder();
    std::wstring path = dir;
    for (int i = 0; i < 500; ++i) path += L"\\d";
    const std::wstring folder = path;
    path += L"\\file.txt";
    EXPECT_TRUE(create_parent_folders(path.c_str()));
    EXPECT_NE(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Windows refuses to rewrite a read-only file, and to replace a hidden or
// system one; this Wine, run as root, does neither, so the rule is tested
// where it is made.
TEST(UnpackEntryTest, AttributesThatBlockARewriteAreCleared) {
    const struct {
        DWORD before, after;
    } cases[] = {
        {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_NORMAL},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
         FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL},
        {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
         FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED},
    };
    for (const auto& c : cases) EXPECT_EQ(attributes_for_rewriting(c.before), c.after) << c.before;
}

TEST(UnpackEntryTest, WritesMissingFileAndConsumesExactlyItsData) {
    const std::wstring dir = scratch_folder();
    const std::wstring path = dir + L"\\lib\\data.bin";
    const std::string content(100000, 'q');
    stream_over stream(content);
    unpack_entry(path.c_str(), content.size(), checksum_of(content));
    EXPECT_EQ(stream.rest(), "NEXT");
    EXPECT_TRUE(read_file(path) == content);
}

TEST(UnpackEntryTest, MatchingFileIsNotOpenedForWriting) {
    const std::wstring dir = scratch_folder();
    const std::wstring path = dir + L"\\same.txt";
    write_file(path, "same content");
    const std::uint64_t before = last_write(path);
    // Held without write sharing: opening it for writing would fail the run.
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    Sleep(20);
    stream_over stream("same content");
    unpack_entry(path.c_str(), 12, checksum_of("same content"));
    EXPECT_EQ(stream.rest(), "NEXT");
    CloseHandle(holder);
    EXPECT_EQ(last_write(path), before);
}

TEST(UnpackEntryTest, DifferingLongerFileIsReplacedCompletely) {
    const std::wstring dir = scratch_folder();
    const std::wstring path = dir + L"\\config.txt";
    write_file(path, "an old and much longer content than the new one");
    stream_over stream("new");
    unpack_entry(path.c_str(), 3, checksum_of("new"));
    EXPECT_EQ(stream.rest(), "NEXT");
    EXPECT_EQ(read_file(path), "new");
}

TEST(UnpackEntryTest, EmptyEntryCreatesAnEmptyFileOnceAndThenLeavesIt) {
    const std::wstring dir = scratch_folder();
    const std::wstring path = dir + L"\\empty.txt";
    {
        stream_over stream("");
        unpack_entry(path.c_str(), 0, 1);
        EXPECT_EQ(stream.rest(), "NEXT");
    }
    EXPECT_EQ(read_file(path), "");
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    stream_over again("");
    unpack_entry(path.c_str(), 0, 1);  // would fail if it tried to rewrite the file
    EXPECT_EQ(again.rest(), "NEXT");
    CloseHandle(holder);
}

TEST(UnpackEntryDeathTest, DifferingFileHeldWithoutWriteSharingFailsTheRun) {
    const std::wstring dir = scratch_folder();
    const std::wstring path = dir + L"\\locked.exe";
    write_file(path, "old program");
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EXIT(
        {
            stream_over stream("new program");
            unpack_entry(path.c_str(), 11, checksum_of("new program"));
        },
        ::testing::ExitedWithCode(2), "Error, failed to open '.*locked\\.exe' for writing\\.");
    CloseHandle(holder);
}

// Folded and by tables alone, the CRC-32 gives zlib's value for every
// length and alignment around its 8-, 16- and 64-byte steps, whole, in
// pieces, and put together from its pieces' sums as an entry across frames
// is (lengths past 4 GiB included); the processor check needs both
// instructions.
TEST(ChecksumTest, FoldedAndTableCrcMatchZlibWholeInPiecesAndCombined) {
    EXPECT_TRUE(has_carryless_multiply((1u << 1) | (1u << 19)));
    EXPECT_FALSE(has_carryless_multiply(1u << 1));
    EXPECT_FALSE(has_carryless_multiply(1u << 19));
    checksum_choose_implementation();
    std::string data(70000, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : data) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    for (bool carryless : {true, false}) {
        checksum_use_carryless(carryless);
        for (std::size_t offset : {0, 1, 3, 8}) {
            for (std::size_t size :
                 {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 80, 127, 128, 129, 1000, 65543}) {
                SCOPED_TRACE(testing::Message() << carryless << " " << offset << "+" << size);
                const std::uint32_t expected =
                    static_cast<std::uint32_t>(crc32_z(0, bytes + offset, size));
                EXPECT_EQ(checksum_update(0, bytes + offset, size), expected);
                const std::size_t cut = size / 3;
                const std::uint32_t head = checksum_update(0, bytes + offset, cut);
                const std::uint32_t tail = checksum_update(0, bytes + offset + cut, size - cut);
                EXPECT_EQ(checksum_update(head, bytes + offset + cut, size - cut), expected);
                EXPECT_EQ(checksum_combine(head, tail, size - cut), expected);
            }
        }
    }
    checksum_use_carryless(true);
    // zlib's length is a long, 32 bits here: a longer one is taken in
    // steps, each a shift of the first sum by its length.
    for (std::uint64_t length : {1ull, 4096ull, 0x7fffffffull, 0x80000000ull, 0x123456789ull}) {
        uLong expected = 0x12345678u;
        for (std::uint64_t left = length; left > 0;) {
            const std::uint64_t step = left < 0x40000000u ? left : 0x40000000u;
            expected = crc32_combine(expected, 0, static_cast<z_off_t>(step));
            left -= step;
        }
        EXPECT_EQ(checksum_combine(0x12345678u, 0x9abcdef0u, length), expected ^ 0x9abcdef0u)
            << length;
    }
}

// Where the content sweep goes on is trusted only from undamaged bytes tied
// to the record in hand; a slice is never empty, so a whole sweep fits in
// sweep_starts starts.
TEST(QuickCheckSweepTest, PositionIsTiedToItsRecordAndSlicesCoverAll) {
    unsigned char data[sweep_size];
    encode_sweep(data, 0xABCD1234u, 7);
    std::size_t next = 99;
    EXPECT_TRUE(decode_sweep(data, 0xABCD1234u, 8, next));
    EXPECT_EQ(next, 7u);
    EXPECT_FALSE(decode_sweep(data, 0xABCD1235u, 8, next));  // another record's
    EXPECT_FALSE(decode_sweep(data, 0xABCD1234u, 7, next));  // past the last file
    data[5] ^= 1;
    EXPECT_FALSE(decode_sweep(data, 0xABCD1234u, 1u << 20, next));
    for (std::size_t count : {1, 4, 31, 32, 33, 1000, 70001}) {
        EXPECT_GE(sweep_slice(count), 1u) << count;
        EXPECT_GE(sweep_slice(count) * sweep_starts, count) << count;
        EXPECT_LT((sweep_slice(count) - 1) * sweep_starts, count) << count;
    }
}

}  // namespace
