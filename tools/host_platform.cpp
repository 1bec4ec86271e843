// Each function has one Linux and one Windows body; everything above the
// host's system calls is shared, so both builds of the tool behave alike.
#include "tools/host_platform.h"

#include "tools/packer.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwctype>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
namespace {

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

// A name no other run is likely to pick; creation with CREATE_NEW or
// CreateDirectoryW still refuses a name already taken, and the caller tries
// the next one.
std::wstring candidate_name(const std::string& path, unsigned attempt) {
    const std::filesystem::path target = path_from_utf8(path);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::wstring suffix = L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(now.QuadPart) + L"-" + std::to_wstring(attempt);
    return (folder / (L"." + target.filename().wstring() + suffix)).wstring();
}

constexpr unsigned creation_attempts = 100;

std::string folder_of(const std::string& path) {
    const std::filesystem::path target = path_from_utf8(path);
    return target.has_parent_path() ? narrow(target.parent_path().wstring()) : std::string(".");
}

}  // namespace
#endif

std::vector<std::string> utf8_arguments(int argc, char** argv) {
#ifdef _WIN32
    // argv holds the command line in the ANSI code page, which cannot hold
    // every name; the UTF-16 command line can.
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) throw tool_error("cannot read the command line");
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(narrow(wide[i]));
    LocalFree(wide);
    return out;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

std::filesystem::path path_from_utf8(const std::string& path) {
#ifdef _WIN32
    return std::filesystem::path(widen(path));
#else
    return std::filesystem::path(path);
#endif
}

std::string path_to_utf8(const std::filesystem::path& path) {
#ifdef _WIN32
    return narrow(path.wstring());
#else
    return path.string();
#endif
}

std::FILE* open_file(const std::string& path, const char* mode) {
#ifdef _WIN32
    return _wfopen(widen(path).c_str(), widen(mode).c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

std::FILE* create_temporary_beside(const std::string& path, std::string& temporary) {
#ifdef _WIN32
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::wstring name = candidate_name(path, attempt);
        const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            set_errno_from_last_error();
            break;
        }
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
            errno = error;
            break;
        }
        return file;
    }
    throw tool_error("cannot create a file in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
#else
    const std::filesystem::path target(path);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(temporary.data());
    std::FILE* file = nullptr;
    // mkstemp keeps the file private (0600); the finished file is an ordinary
    // output that others may read.
    if (fd >= 0 && fchmod(fd, 0644) == 0) file = fdopen(fd, "w+b");
    if (file == nullptr) {
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
        }
        throw tool_error("cannot create a file in " + in_quotes(folder.string()) + ": " +
                         std::strerror(error));
    }
    return file;
#endif
}

std::string create_temporary_folder_beside(const std::string& path) {
#ifdef _WIN32
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::wstring name = candidate_name(path, attempt);
        if (CreateDirectoryW(name.c_str(), nullptr)) return narrow(name);
        if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
        set_errno_from_last_error();
        break;
    }
    throw tool_error("cannot create a folder in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
#else
    const std::filesystem::path target(path);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::string name = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    if (mkdtemp(name.data()) == nullptr) {
        throw tool_error("cannot create a folder in " + in_quotes(folder.string()) + ": " +
                         std::strerror(errno));
    }
    return name;
#endif
}

bool seek_file(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool flush_to_disk(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
#ifdef _WIN32
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
        set_errno_from_last_error();
        return false;
    }
    return true;
#else
    return ::fsync(fileno(file)) == 0;
#endif
}

void start_writeback(std::FILE* file) {
#ifdef _WIN32
    (void)file;  // Windows writes back on its own schedule; FlushFileBuffers waits at the end
#else
    // Starts writing what is already written, without waiting, so the disk
    // works while the rest is copied and the final flush has little left.
    if (std::fflush(file) == 0) ::sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

char16_t upper_case_unit(char16_t unit) {
#ifdef _WIN32
    wchar_t in = static_cast<wchar_t>(unit);
    wchar_t out = in;
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1, nullptr, nullptr,
                      0) != 1) {
        return unit;
    }
    return static_cast<char16_t>(out);
#else
    // The command sets LC_CTYPE to C.UTF-8 first, so this folds all of Unicode.
    return static_cast<char16_t>(std::towupper(unit));
#endif
}

bool replace_file(const std::string& from, const std::string& to) {
#ifdef _WIN32
    if (MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    set_errno_from_last_error();
    return false;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

void make_executable(const std::string& path) {
#ifdef _WIN32
    // Windows runs a file by its name's extension; there is no mark to set.
    (void)path;
#else
    ::chmod(path.c_str(), 0755);
#endif
}

bool is_terminal(std::FILE* stream) {
#ifdef _WIN32
    // _isatty is also true for NUL and other character devices; only a
    // console answers GetConsoleMode.
    DWORD mode = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
#else
    return ::isatty(fileno(stream)) != 0;
#endif
}
