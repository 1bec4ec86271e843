#include "launcher/unpack/write_entry.h"

#include "launcher/base/busy_retry.h"
#include "launcher/base/errors.h"
#include "launcher/unpack/checksum.h"
#include "launcher/unpack/confine.h"
#include "format/block.h"
#include "launcher/unpack/reader.h"

#include <windows.h>

namespace {

unsigned char copy_buffer[payload_format::copy_chunk_size];  // reused for every chunk
unsigned char checksum_buffer[checksum_buffer_size];         // the main thread's

}  // namespace

std::uint32_t file_checksum_with(const wchar_t* path, unsigned char* buffer) {
    HANDLE file = INVALID_HANDLE_VALUE;
    // A file held without read sharing (a scanner's) is waited for: counted
    // as missing, it would have to be rewritten, which would then fail.
    retry_while_busy(
        [&] {
            file = CreateFileW(path,                                                    //
                               GENERIC_READ,                                            //
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,  //
                               nullptr,                                                 //
                               OPEN_EXISTING,                                           //
                               FILE_ATTRIBUTE_NORMAL,                                   //
                               nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        is_busy_reading_error);
    if (file == INVALID_HANDLE_VALUE) return 0;
    // Read to the end, whatever the size: a changed file of 4 GiB or more
    // must not pass for an unchanged one, and an empty file is readable
    // with a known content (the checksum of no bytes).
    std::uint32_t crc = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, static_cast<DWORD>(checksum_buffer_size), &got, nullptr)) {
            CloseHandle(file);
            return 0;
        }
        if (got == 0) break;
        crc = checksum_update(crc, buffer, got);
    }
    CloseHandle(file);
    return payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc));
}

std::uint32_t file_checksum(const wchar_t* path) {
    return file_checksum_with(path, checksum_buffer);
}

void unpack_entry(const wchar_t* path, std::uint64_t stored_size, std::uint32_t stored_checksum) {
    unpack_checked_entry(path, stored_size, stored_checksum,
                         file_checksum(path) == stored_checksum);
}

namespace {

// A file whose decoded data do not give the stored checksum must not stay
// behind looking complete: it goes through the handle that wrote it, so no
// path swapped in meanwhile can be hit, then the start ends as any block
// that cannot be decoded does.
[[noreturn]] void fail_damaged_entry(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(file);
    fail_decode();
}

}  // namespace

void unpack_checked_entry(const wchar_t* path, std::uint64_t stored_size,
                          std::uint32_t stored_checksum, bool up_to_date) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!up_to_date) {
        // A folder that cannot be created shows up as the file that cannot
        // be; one below the target that is not where its name says is
        // refused at once.
        const wchar_t* relative = below_confined(path);
        if (!create_parent_folders(path) && relative != nullptr) fail_open_for_writing(path);
        file = open_for_writing(path, relative);
        if (file == INVALID_HANDLE_VALUE) fail_open_for_writing(path);
    }
    // Up to date or not, the data are consumed so the stream stays on the next entry.
    // What is written is checked as it goes by: a damaged block can decode
    // without an error from the decoder (a stored block has nothing to check),
    // and a wrong byte must never count as the vendor's.
    std::uint64_t remaining = stored_size;
    std::uint32_t crc = 0;
    while (remaining > 0) {
        const DWORD chunk =
            static_cast<DWORD>(remaining < sizeof copy_buffer ? remaining : sizeof copy_buffer);
        payload_read(copy_buffer, chunk);
        if (file != INVALID_HANDLE_VALUE) {
            crc = checksum_update(crc, copy_buffer, chunk);
            DWORD written = 0;
            if (!WriteFile(file, copy_buffer, chunk, &written, nullptr))
                fail_unpack(GetLastError());
            if (written != chunk) {
                // A write that stops short found no more room (Wine shows a
                // full disk this way rather than with an error).
                fail_unpack(ERROR_DISK_FULL);
            }
        }
        remaining -= chunk;
    }
    if (file == INVALID_HANDLE_VALUE) return;
    if (payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc)) !=
        stored_checksum) {
        fail_damaged_entry(file);
    }
    CloseHandle(file);
}
