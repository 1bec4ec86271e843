#include "payload/extract.h"

#include "launcher/errors.h"
#include "launcher/windowed.h"
#include "launcher/fixed_buffer.h"
#include "launcher/template.h"
#include "payload/format.h"
#include "payload/reader.h"

#include <windows.h>
#include <zlib.h>

#include <cwchar>

namespace {

constexpr std::size_t max_known_folders = 1024;

unsigned char copy_buffer[payload_format::copy_chunk_size];  // reused for every chunk
unsigned char checksum_buffer[checksum_buffer_size];         // the main thread's

// Folders known to exist: heap copies, never freed.
wchar_t* known_folders[max_known_folders];
std::size_t known_folder_count = 0;

void remember_folder(const wchar_t* folder) {
    if (known_folder_count >= max_known_folders) return;
    if (wchar_t* copy = _wcsdup(folder)) known_folders[known_folder_count++] = copy;
}

bool is_known_folder(const wchar_t* folder) {
    for (std::size_t i = 0; i < known_folder_count; ++i) {
        if (wcscmp(known_folders[i], folder) == 0) return true;
    }
    return false;
}

void seed_known_folders() {
    wchar_t home[path_capacity];
    if (!expand_template(home, L"{HOME}", path_capacity)) fail_template_expansion(L"{HOME}");
    remember_folder(home);
}

}  // namespace

std::uint32_t file_checksum_with(const wchar_t* path, unsigned char* buffer) {
    HANDLE file =
        CreateFileW(path,                                                    //
                    GENERIC_READ,                                            //
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  // never in the way
                    nullptr,                                                 //
                    OPEN_EXISTING,                                           //
                    FILE_ATTRIBUTE_NORMAL,                                   //
                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    // Read to the end, whatever the size: a changed file of 4 GiB or more
    // must not pass for an unchanged one, and an empty file is readable
    // with a known content (the checksum of no bytes).
    uLong crc = crc32_z(0L, Z_NULL, 0);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, static_cast<DWORD>(checksum_buffer_size), &got, nullptr)) {
            CloseHandle(file);
            return 0;
        }
        if (got == 0) break;
        crc = crc32_z(crc, buffer, got);
    }
    CloseHandle(file);
    return payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc));
}

std::uint32_t file_checksum(const wchar_t* path) {
    return file_checksum_with(path, checksum_buffer);
}

bool ensure_folder(const wchar_t* folder) {
    if (known_folder_count == 0) seed_known_folders();
    if (is_known_folder(folder)) return true;
    // A bare drive exists or it does not; it can never be created.
    if (wcslen(folder) == 2 && folder[1] == L':') return true;
    if (!CreateDirectoryW(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    remember_folder(folder);
    return true;
}

bool create_parent_folders(const wchar_t* path) {
    // Climb from the folder of path until a folder exists or can be made,
    // then make the ones below it on the way back down. Done in one buffer,
    // without recursion: a name may have hundreds of levels.
    wchar_t folder[path_capacity];
    wide_copy_or_abort(folder, path_capacity, path);
    wchar_t* const deepest_end = find_last_backslash(folder, true);
    if (deepest_end == nullptr) return true;
    *deepest_end = L'\0';
    if (ensure_folder(folder)) return true;
    for (;;) {
        wchar_t* up = find_last_backslash(folder, true);
        if (up == nullptr) break;
        *up = L'\0';
        if (ensure_folder(folder)) break;
    }
    bool made = false;
    for (wchar_t* cut = folder + wcslen(folder); cut < deepest_end; cut = folder + wcslen(folder)) {
        *cut = L'\\';
        made = ensure_folder(folder);
    }
    return made;
}

namespace {

// Opening for writing is retried this many times, this far apart.
constexpr unsigned open_retries = 20;
constexpr DWORD open_retry_ms = 50;

HANDLE open_for_writing(const wchar_t* path) {
    for (unsigned attempt = 0;; ++attempt) {
        const HANDLE file = CreateFileW(path,              //
                                        GENERIC_WRITE,     //
                                        FILE_SHARE_WRITE,  //
                                        nullptr,           //
                                        CREATE_ALWAYS,     // replaces a longer old file completely
                                        0,                 //
                                        nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        // A virus scanner holds a freshly written file for a moment; give it
        // about a second before calling the file impossible to write.
        const DWORD code = GetLastError();
        const bool maybe_transient = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
        if (!maybe_transient || attempt == open_retries) return INVALID_HANDLE_VALUE;
        Sleep(open_retry_ms);
    }
}

}  // namespace

void unpack_entry(const wchar_t* path, std::uint64_t stored_size, std::uint32_t stored_checksum) {
    unpack_checked_entry(path, stored_size, file_checksum(path) == stored_checksum);
}

void unpack_checked_entry(const wchar_t* path, std::uint64_t stored_size, bool up_to_date) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!up_to_date) {
        progress_window_note_write();
        // A folder that cannot be created shows up as the file that cannot be.
        create_parent_folders(path);
        file = open_for_writing(path);
        if (file == INVALID_HANDLE_VALUE) fail_open_for_writing(path);
    }
    // Up to date or not, the data are consumed so the stream stays on the next entry.
    std::uint64_t remaining = stored_size;
    while (remaining > 0) {
        const DWORD chunk =
            static_cast<DWORD>(remaining < sizeof copy_buffer ? remaining : sizeof copy_buffer);
        payload_read(copy_buffer, chunk);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (!WriteFile(file, copy_buffer, chunk, &written, nullptr)) fail_unpack();
            if (written != chunk) {
                // A write that stops short found no more room (Wine shows a
                // full disk this way rather than with an error).
                SetLastError(ERROR_DISK_FULL);
                fail_unpack();
            }
        }
        remaining -= chunk;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

void target_lock_name(const wchar_t* folder, wchar_t* out, std::size_t capacity) {
    // FNV-1a over the UTF-16 units; a folder spelt in another case is the
    // same folder.
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t* p = folder; *p != L'\0'; ++p) {
        unsigned unit = static_cast<unsigned>(*p) & 0xFFFF;
        if (unit >= 'a' && unit <= 'z') unit -= 'a' - 'A';
        hash = (hash ^ (unit & 0xFF)) * 1099511628211ull;
        hash = (hash ^ (unit >> 8)) * 1099511628211ull;
    }
    swprintf(out, capacity, L"Local\\FenwixOnefile-%016llx", static_cast<unsigned long long>(hash));
}

namespace {

HANDLE target_lock = nullptr;  // held from lock_target_folder to unlock_target_folder

}  // namespace

void lock_target_folder(const wchar_t* folder) {
    wchar_t name[64];
    target_lock_name(folder, name, sizeof name / sizeof name[0]);
    target_lock = CreateMutexW(nullptr, FALSE, name);
    if (target_lock == nullptr) return;
    // WAIT_ABANDONED: the last holder ended half-way; the checksums repair
    // whatever it left, so the lock is ours all the same.
    WaitForSingleObject(target_lock, INFINITE);
}

void unlock_target_folder() {
    if (target_lock == nullptr) return;
    ReleaseMutex(target_lock);
    CloseHandle(target_lock);
    target_lock = nullptr;
}
