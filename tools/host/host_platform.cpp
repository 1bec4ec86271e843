// Each function has one Linux and one Windows body; everything above the
// host's system calls is shared, so both builds of the tool behave alike.
#include "tools/host/host_platform.h"

#include "tools/host/text.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The temporary file being written, for the handler of SIGINT and SIGTERM
// to remove: an interrupted build leaves nothing behind. The tool writes
// one output at a time, so one name is enough. The handler may only make
// async-signal-safe calls, so the name lives in a fixed buffer, in the
// host's own form (a Linux path holds at most PATH_MAX bytes, a Windows one
// 32,767 units).
struct interrupted_output {
#ifdef _WIN32
    wchar_t name[32768];
#else
    char name[4096];
#endif
    volatile std::sig_atomic_t pending = 0;  // set while `name` exists and is ours
    bool handler_installed = false;
};
interrupted_output interrupted;

void remove_temporary_and_stop(int signal_number) {
    if (interrupted.pending) {
#ifdef _WIN32
        // The file is open with FILE_SHARE_DELETE: it goes once the process ends.
        DeleteFileW(interrupted.name);
#else
        ::unlink(interrupted.name);
#endif
    }
    // Ends the process as the signal would have, with its usual status.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void install_interrupt_handler() {
    if (interrupted.handler_installed) return;
    interrupted.handler_installed = true;
    for (const int signal_number : {SIGINT, SIGTERM}) {
        // A signal the tool was started to ignore (nohup, a background job)
        // stays ignored.
        if (std::signal(signal_number, remove_temporary_and_stop) == SIG_IGN) {
            std::signal(signal_number, SIG_IGN);
        }
    }
}

std::uint64_t process_id() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<std::uint64_t>(getpid());
#endif
}

// A name for a temporary file or folder beside `path`: a short one of fixed
// length, so that it fits wherever the output's own name fits, however long
// that is. Creation refuses a name already taken, and the caller tries the
// next attempt.
std::string candidate_name(const std::string& path, unsigned attempt) {
    const std::filesystem::path target = path_from_utf8(path);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    // splitmix64 over the process, the clock and the attempt.
    std::uint64_t x =
        process_id() * 0x9E3779B97F4A7C15ull ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(attempt) << 48);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    std::string leaf = ".fenwix-";
    for (int i = 0; i < 12; ++i, x >>= 4) leaf += "0123456789abcdef"[x & 15];
    return path_to_utf8(folder / path_from_utf8(leaf));
}

constexpr unsigned creation_attempts = 100;

std::string folder_of(const std::string& path) {
    const std::filesystem::path target = path_from_utf8(path);
    return target.has_parent_path() ? path_to_utf8(target.parent_path()) : std::string(".");
}

}  // namespace

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
    install_interrupt_handler();
#ifdef _WIN32
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::wstring name = widen(candidate_name(path, attempt));
        if (name.size() >= sizeof interrupted.name / sizeof interrupted.name[0]) {
            errno = ENAMETOOLONG;
            break;
        }
        std::wcscpy(interrupted.name, name.c_str());
        const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            set_errno_from_last_error();
            break;
        }
        interrupted.pending = 1;
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
#else
    // SIGINT and SIGTERM wait until the new file's name is recorded, so
    // that no interruption can leave it behind unrecorded.
    sigset_t interrupts, previous;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::string name = candidate_name(path, attempt);
        if (name.size() >= sizeof interrupted.name) {
            errno = ENAMETOOLONG;
            break;
        }
        sigprocmask(SIG_BLOCK, &interrupts, &previous);
        // Created private, then opened to all readers: the finished file is
        // an ordinary output.
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const int error = errno;
        if (fd >= 0) {
            std::memcpy(interrupted.name, name.c_str(), name.size() + 1);
            interrupted.pending = 1;
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (fd < 0) {
            errno = error;
            if (error == EEXIST) continue;
            break;
        }
        std::FILE* file = fchmod(fd, 0644) == 0 ? fdopen(fd, "w+b") : nullptr;
        if (file == nullptr) {
            const int failure = errno;
            ::close(fd);
            ::unlink(name.c_str());
            forget_temporary();
            errno = failure;
            break;
        }
        temporary = name;
        return file;
    }
#endif
    throw tool_error("cannot create a file in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
}

void forget_temporary() { interrupted.pending = 0; }

std::string create_temporary_folder_beside(const std::string& path) {
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::string name = candidate_name(path, attempt);
#ifdef _WIN32
        if (CreateDirectoryW(widen(name).c_str(), nullptr)) return name;
        if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
        set_errno_from_last_error();
#else
        // As mkdir(1) makes a folder: the permissions the umask leaves.
        if (::mkdir(name.c_str(), 0777) == 0) return name;
        if (errno == EEXIST) continue;
#endif
        break;
    }
    throw tool_error("cannot create a folder in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
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

bool open_pipe(std::FILE*& read_end, std::FILE*& write_end) {
    int ends[2];
#ifdef _WIN32
    // What the pipe holds before its writer waits for the reader, as on
    // Linux; not inherited: the tool starts no program to hold it.
    constexpr unsigned buffer_size = 1 << 16;
    if (_pipe(ends, buffer_size, _O_BINARY | _O_NOINHERIT) != 0) return false;
    read_end = _fdopen(ends[0], "rb");
    write_end = _fdopen(ends[1], "wb");
#else
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end = ::fdopen(ends[0], "rb");
    write_end = ::fdopen(ends[1], "wb");
#endif
    if (read_end != nullptr && write_end != nullptr) return true;
    const int error = errno;
    for (int end = 0; end < 2; ++end) {
        std::FILE* stream = end == 0 ? read_end : write_end;
        if (stream != nullptr) {
            std::fclose(stream);
        } else {
#ifdef _WIN32
            _close(ends[end]);
#else
            ::close(ends[end]);
#endif
        }
    }
    errno = error;
    return false;
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

void write_file_atomically(const std::string& path, const std::function<void(std::FILE*)>& writer) {
    std::string temporary;
    std::FILE* out = create_temporary_beside(path, temporary);
    // remove() takes the path in the ANSI code page on Windows; fs::remove
    // takes it as the UTF-16 it is.
    const auto discard = [&]() {
        std::error_code ignored;
        std::filesystem::remove(path_from_utf8(temporary), ignored);
        forget_temporary();
    };
    try {
        writer(out);
        if (!flush_to_disk(out)) {
            throw tool_error("cannot write " + in_quotes(path) + ": " + std::strerror(errno));
        }
    } catch (...) {
        std::fclose(out);
        discard();
        throw;
    }
    if (std::fclose(out) != 0 || !replace_file(temporary, path)) {
        const std::string reason = std::strerror(errno);
        discard();
        throw tool_error("cannot write " + in_quotes(path) + ": " + reason);
    }
    forget_temporary();
}
