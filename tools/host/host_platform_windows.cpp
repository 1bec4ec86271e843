// The tool's system calls on Windows: names in UTF-16, files by handle.
#include "tools/host/host_platform.h"

#include "tools/host/host_platform_detail.h"
#include "tools/host/text.h"

#include <cerrno>
#include <cstring>
#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

namespace {

// The temporary file being written, for the interrupt handler to remove (a
// Windows path holds at most 32,767 units); see host_platform_posix.cpp.
wchar_t recorded_name[32768];

// Windows names are UTF-16 that may hold unpaired surrogates. They are carried
// through UTF-8 text as three-byte sequences (as WTF-8 does), so every name
// read from a folder opens again; the packer then refuses such a name as not
// valid UTF-8, as it does on Linux for a name that is not UTF-8.
std::string narrow(const std::wstring& wide) {
    return utf16_to_utf8(std::u16string(wide.begin(), wide.end()));
}

// The inverse of narrow (surrogate code points included). A byte that starts
// no sequence becomes the lone unit 0xDC00 + byte, which no real name holds,
// so text that is not UTF-8 never names some other, existing file.
std::wstring widen(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t c = 0;
        const std::size_t n = decode_utf8_at(text, i, c);
        if (n == 0) {
            out += static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        append_utf16(out, c);
        i += n;
    }
    return std::wstring(out.begin(), out.end());
}

// errno for the last Windows error, so that messages read as on Linux.
void set_errno_from_last_error() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            errno = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            errno = EACCES;
            break;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            errno = EEXIST;
            break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            errno = ENOSPC;
            break;
        case ERROR_WRITE_PROTECT:
            errno = EROFS;
            break;
        default:
            errno = EIO;
            break;
    }
}

}  // namespace

namespace host_detail {

std::uint64_t process_id() { return GetCurrentProcessId(); }

// The file is open with FILE_SHARE_DELETE: it goes once the process ends.
void remove_recorded_temporary() { DeleteFileW(recorded_name); }

}  // namespace host_detail

using namespace host_detail;

std::vector<std::string> utf8_arguments(int, char**) {
    // argv holds the command line in the ANSI code page, which cannot hold
    // every name; the UTF-16 command line can.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) throw tool_error("cannot read the command line");
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(narrow(wide[i]));
    LocalFree(wide);
    return out;
}

std::filesystem::path path_from_utf8(const std::string& path) {
    return std::filesystem::path(widen(path));
}

std::string path_to_utf8(const std::filesystem::path& path) { return narrow(path.wstring()); }

std::FILE* open_file(const std::string& path, const char* mode) {
    return _wfopen(widen(path).c_str(), widen(mode).c_str());
}

std::FILE* create_temporary_beside(const std::string& path, std::string& temporary) {
    install_interrupt_handler();
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::wstring name = widen(candidate_name(path, attempt));
        if (name.size() >= sizeof recorded_name / sizeof recorded_name[0]) {
            errno = ENAMETOOLONG;
            break;
        }
        std::wcscpy(recorded_name, name.c_str());
        const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            set_errno_from_last_error();
            break;
        }
        temporary_pending = 1;
        temporary = narrow(name);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
        std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "w+b");
        if (file == nullptr) {
            const int error = errno;
            if (fd < 0) {
                CloseHandle(handle);
            } else {
                _close(fd);
            }
            DeleteFileW(name.c_str());
            forget_temporary();
            errno = error;
            break;
        }
        return file;
    }
    throw tool_error("cannot create a file in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
}

std::string create_temporary_folder_beside(const std::string& path) {
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::string name = candidate_name(path, attempt);
        if (CreateDirectoryW(widen(name).c_str(), nullptr)) return name;
        if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
        set_errno_from_last_error();
        break;
    }
    throw tool_error("cannot create a folder in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
}

bool seek_file(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool flush_to_disk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
        set_errno_from_last_error();
        return false;
    }
    return true;
}

// Windows writes back on its own schedule; FlushFileBuffers waits at the end.
void start_writeback(std::FILE*) {}

bool replace_file(const std::string& from, const std::string& to) {
    if (MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    set_errno_from_last_error();
    return false;
}

// Windows runs a file by its name's extension; there is no mark to set.
void make_executable(const std::string&) {}

bool open_pipe(std::FILE*& read_end, std::FILE*& write_end) {
    int ends[2];
    // What the pipe holds before its writer waits for the reader, as on
    // Linux; not inherited: the tool starts no program to hold it.
    constexpr unsigned buffer_size = 1 << 16;
    if (_pipe(ends, buffer_size, _O_BINARY | _O_NOINHERIT) != 0) return false;
    read_end = _fdopen(ends[0], "rb");
    write_end = _fdopen(ends[1], "wb");
    if (read_end != nullptr && write_end != nullptr) return true;
    const int error = errno;
    if (read_end != nullptr)
        std::fclose(read_end);
    else
        _close(ends[0]);
    if (write_end != nullptr)
        std::fclose(write_end);
    else
        _close(ends[1]);
    errno = error;
    return false;
}

bool is_terminal(std::FILE* stream) {
    // _isatty is also true for NUL and other character devices; only a
    // console answers GetConsoleMode.
    DWORD mode = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}
