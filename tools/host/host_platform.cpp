// The tool's system calls, their parts common to both hosts: temporary
// names, the interrupt handler and atomic writing. The calls themselves live
// in host_platform_posix.cpp and host_platform_windows.cpp, one of which a
// build compiles, so both builds of the tool behave alike.
#include "tools/host/host_platform.h"

#include "tools/host/host_platform_detail.h"
#include "tools/host/text.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace host_detail {

volatile std::sig_atomic_t temporary_pending = 0;

namespace {

bool handler_installed = false;

void remove_temporary_and_stop(int signal_number) {
    if (temporary_pending) remove_recorded_temporary();
    // Ends the process as the signal would have, with its usual status.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

void install_interrupt_handler() {
    if (handler_installed) return;
    handler_installed = true;
    for (const int signal_number : {SIGINT, SIGTERM}) {
        // A signal the tool was started to ignore (nohup, a background job)
        // stays ignored.
        if (std::signal(signal_number, remove_temporary_and_stop) == SIG_IGN) {
            std::signal(signal_number, SIG_IGN);
        }
    }
}

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

std::string folder_of(const std::string& path) {
    const std::filesystem::path target = path_from_utf8(path);
    return target.has_parent_path() ? path_to_utf8(target.parent_path()) : std::string(".");
}

}  // namespace host_detail

using namespace host_detail;

void forget_temporary() { temporary_pending = 0; }

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
