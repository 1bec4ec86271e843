#include "launcher/platform/files_by_handle.h"

#include <winternl.h>

#include <cwchar>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                               PVOID apc_context, PIO_STATUS_BLOCK status,
                                               PVOID information, ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN single_entry, PUNICODE_STRING file_name,
                                               BOOLEAN restart);

namespace {

// The system's classes and flags for deleting through a handle, named here:
// the headers give them only to builds that ask for Windows 10.
constexpr auto file_id_both_directory_information = static_cast<FILE_INFORMATION_CLASS>(37);
constexpr auto file_internal_information = static_cast<FILE_INFORMATION_CLASS>(6);
constexpr auto file_disposition_information_ex = static_cast<FILE_INFORMATION_CLASS>(64);
constexpr ULONG disposition_delete = 0x1;
constexpr ULONG disposition_posix_semantics = 0x2;
constexpr ULONG disposition_ignore_read_only = 0x10;

// The system's replies; one caller at a time (see the header).
struct reply_state {
    alignas(8) unsigned char record[sizeof(FILE_ID_BOTH_DIR_INFO) +
                                    listed_name_capacity * sizeof(wchar_t)];
    alignas(
        OBJECT_NAME_INFORMATION) unsigned char name_reply[sizeof(OBJECT_NAME_INFORMATION) +
                                                          final_name_capacity * sizeof(wchar_t)];
    bool no_posix_delete;  // the system refused POSIX semantics once
};
reply_state calls;

// The Win32 error for an NTSTATUS.
DWORD error_of(NTSTATUS status) { return RtlNtStatusToDosError(status); }

}  // namespace

// The object's own name of what a handle has open, every link on the way
// resolved (\??\C:\... under Wine, \Device\HarddiskVolume3\... on Windows).
bool final_name_of(HANDLE handle, wchar_t* out) {
    ULONG length = 0;
    if (!NT_SUCCESS(NtQueryObject(handle, ObjectNameInformation, calls.name_reply,
                                  sizeof calls.name_reply, &length))) {
        return false;
    }
    const UNICODE_STRING& name = reinterpret_cast<OBJECT_NAME_INFORMATION*>(calls.name_reply)->Name;
    const std::size_t units = name.Length / sizeof(wchar_t);
    if (units == 0 || units >= final_name_capacity) return false;
    wmemcpy(out, name.Buffer, units);
    out[units] = L'\0';
    return true;
}

bool handle_facts(HANDLE handle, DWORD& attributes, std::uint64_t& id) {
    IO_STATUS_BLOCK status;
    FILE_BASIC_INFORMATION basic;
    LARGE_INTEGER internal;
    if (!NT_SUCCESS(
            NtQueryInformationFile(handle, &status, &basic, sizeof basic, FileBasicInformation)) ||
        !NT_SUCCESS(NtQueryInformationFile(handle, &status, &internal, sizeof internal,
                                           file_internal_information))) {
        return false;
    }
    attributes = basic.FileAttributes;
    id = static_cast<std::uint64_t>(internal.QuadPart);
    return true;
}

bool next_listed(HANDLE folder, listed_entry& out, bool restart) {
    for (bool first = restart;; first = false) {
        IO_STATUS_BLOCK status;
        const NTSTATUS listed = NtQueryDirectoryFile(
            folder, nullptr, nullptr, nullptr, &status, calls.record, sizeof calls.record,
            file_id_both_directory_information, TRUE, nullptr, first ? TRUE : FALSE);
        if (!NT_SUCCESS(listed)) return false;
        const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(calls.record);
        const std::size_t units = record->FileNameLength / sizeof(wchar_t);
        if (units == 0 || units >= listed_name_capacity) return false;
        wmemcpy(out.name, record->FileName, units);
        out.name[units] = L'\0';
        if (wcscmp(out.name, L".") == 0 || wcscmp(out.name, L"..") == 0) continue;
        out.id = static_cast<std::uint64_t>(record->FileId.QuadPart);
        out.attributes = record->FileAttributes;
        return true;
    }
}

NTSTATUS create_in_folder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG attributes,
                          ULONG share, ULONG disposition, ULONG options, HANDLE& out,
                          ULONG_PTR* created) {
    const USHORT bytes = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    UNICODE_STRING relative{bytes, bytes, const_cast<wchar_t*>(name)};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &relative, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = NtCreateFile(&out, access, &object, &status, nullptr, attributes, share,
                                         disposition, options, nullptr, 0);
    if (created != nullptr) *created = status.Information;
    return result;
}

HANDLE open_in_folder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, DWORD share,
                      ULONG options) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS opened =
        create_in_folder(folder, name, access | SYNCHRONIZE, 0, share, FILE_OPEN,
                         options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                             FILE_SYNCHRONOUS_IO_NONALERT,
                         handle);
    if (!NT_SUCCESS(opened)) {
        SetLastError(error_of(opened));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool delete_by_handle(HANDLE handle) {
    IO_STATUS_BLOCK status;
    ULONG flags = disposition_delete | disposition_posix_semantics | disposition_ignore_read_only;
    if (!calls.no_posix_delete) {
        const NTSTATUS done = NtSetInformationFile(handle, &status, &flags, sizeof flags,
                                                   file_disposition_information_ex);
        if (NT_SUCCESS(done)) return true;
        // An older system (or Wine) knows no such request: asked no more.
        calls.no_posix_delete = done == static_cast<NTSTATUS>(0xC0000003) /* invalid class */ ||
                                done == static_cast<NTSTATUS>(0xC000000D) /* invalid parameter */ ||
                                done == static_cast<NTSTATUS>(0xC0000002) /* not implemented */;
    }
    FILE_DISPOSITION_INFO remove{TRUE};
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove)) {
        return true;
    }
    const DWORD code = GetLastError();
    FILE_BASIC_INFO basic;
    if (code != ERROR_ACCESS_DENIED ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        SetLastError(code);
        return false;
    }
    FILE_BASIC_INFO change = {};  // times of 0 stay as they are
    const DWORD kept = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    change.FileAttributes = kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept;
    return SetFileInformationByHandle(handle, FileBasicInfo, &change, sizeof change) &&
           SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove);
}

HANDLE make_in_folder(HANDLE folder, const wchar_t* name, ACCESS_MASK access) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS made =
        create_in_folder(folder, name, access | DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                         FILE_ATTRIBUTE_NORMAL, 0 /* shared with no one */, FILE_CREATE,
                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, handle);
    if (!NT_SUCCESS(made)) {
        SetLastError(error_of(made));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}
