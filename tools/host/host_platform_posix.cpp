// The tool's system calls on Linux (and any POSIX host).
#include "tools/host/host_platform.h"

#include "tools/host/host_platform_detail.h"
#include "tools/host/text.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file being written, for the interrupt handler to remove: an
// interrupted build leaves nothing behind. The tool writes one output at a
// time, so one name is enough; the handler may only make async-signal-safe
// calls, so the name lives in a fixed buffer (a path holds at most PATH_MAX
// bytes).
char recorded_name[4096];

}  // namespace

namespace host_detail {

std::uint64_t process_id() { return static_cast<std::uint64_t>(getpid()); }

void remove_recorded_temporary() { ::unlink(recorded_name); }

}  // namespace host_detail

using namespace host_detail;

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path path_from_utf8(const std::string& path) {
    return std::filesystem::path(path);
}

std::string path_to_utf8(const std::filesystem::path& path) { return path.string(); }

std::FILE* open_file(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

std::FILE* create_temporary_beside(const std::string& path, std::string& temporary) {
    install_interrupt_handler();
    // SIGINT and SIGTERM wait until the new file's name is recorded, so
    // that no interruption can leave it behind unrecorded.
    sigset_t interrupts, previous;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::string name = candidate_name(path, attempt);
        if (name.size() >= sizeof recorded_name) {
            errno = ENAMETOOLONG;
            break;
        }
        sigprocmask(SIG_BLOCK, &interrupts, &previous);
        // Created private, then opened to all readers: the finished file is
        // an ordinary output.
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const int error = errno;
        if (fd >= 0) {
            std::memcpy(recorded_name, name.c_str(), name.size() + 1);
            temporary_pending = 1;
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
    throw tool_error("cannot create a file in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
}

std::string create_temporary_folder_beside(const std::string& path) {
    for (unsigned attempt = 0; attempt < creation_attempts; ++attempt) {
        const std::string name = candidate_name(path, attempt);
        // As mkdir(1) makes a folder: the permissions the umask leaves.
        if (::mkdir(name.c_str(), 0777) == 0) return name;
        if (errno != EEXIST) break;
    }
    throw tool_error("cannot create a folder in " + in_quotes(folder_of(path)) + ": " +
                     std::strerror(errno));
}

bool seek_file(std::FILE* file, std::uint64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool flush_to_disk(std::FILE* file) { return std::fflush(file) == 0 && ::fsync(fileno(file)) == 0; }

void start_writeback(std::FILE* file) {
    // Starts writing what is already written, without waiting, so the disk
    // works while the rest is copied and the final flush has little left.
    if (std::fflush(file) == 0) ::sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool replace_file(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void make_executable(const std::string& path) { ::chmod(path.c_str(), 0755); }

bool open_pipe(std::FILE*& read_end, std::FILE*& write_end) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end = ::fdopen(ends[0], "rb");
    write_end = ::fdopen(ends[1], "wb");
    if (read_end != nullptr && write_end != nullptr) return true;
    const int error = errno;
    if (read_end != nullptr)
        std::fclose(read_end);
    else
        ::close(ends[0]);
    if (write_end != nullptr)
        std::fclose(write_end);
    else
        ::close(ends[1]);
    errno = error;
    return false;
}

bool is_terminal(std::FILE* stream) { return ::isatty(fileno(stream)) != 0; }
