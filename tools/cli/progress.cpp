#include "tools/cli/progress.h"

#include <chrono>
#include <cstdio>

namespace {

using clock_type = std::chrono::steady_clock;

// The one job whose progress shows; a tool runs one pack or build at a time.
bool allowed = false;
const char* job = "";
std::uint64_t total = 0;
std::uint64_t done = 0;
clock_type::time_point started;
clock_type::time_point last_shown;
bool shown = false;

constexpr auto quiet_start = std::chrono::seconds(1);
constexpr auto interval = std::chrono::milliseconds(250);

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

void show() {
    char line[160];
    progress_text(line, sizeof line, job, done, total, seconds_since(started));
    // Blanks clear what a longer earlier line left.
    std::fprintf(stderr, "\r%s   ", line);
    std::fflush(stderr);
    shown = true;
    last_shown = clock_type::now();
}

}  // namespace

void progress_allow(bool allow) { allowed = allow; }

void progress_start(const char* what, std::uint64_t total_bytes) {
    job = what;
    total = total_bytes;
    done = 0;
    shown = false;
    started = clock_type::now();
}

void progress_add(std::uint64_t bytes) { progress_reach(done + bytes); }

void progress_reach(std::uint64_t done_bytes) {
    done = done_bytes < total ? done_bytes : total;
    if (!allowed) return;
    const auto now = clock_type::now();
    if (now - started < quiet_start || (shown && now - last_shown < interval)) return;
    show();
}

void progress_finish() {
    if (!shown) return;
    show();
    std::fputc('\n', stderr);
    shown = false;
}

void progress_text(char* out, std::size_t capacity, const char* what, std::uint64_t done_bytes,
                   std::uint64_t total_bytes, double seconds) {
    const double mib = 1024.0 * 1024.0;
    const double rate = seconds > 0 ? done_bytes / mib / seconds : 0.0;
    const unsigned percent =
        total_bytes == 0 ? 100u : static_cast<unsigned>(done_bytes * 100.0 / total_bytes);
    int n = std::snprintf(out, capacity, "%s  %.1f MiB of %.1f MiB (%u%%), %.1f MiB/s", what,
                          done_bytes / mib, total_bytes / mib, percent, rate);
    // Time left only once there is a rate to go by.
    if (n > 0 && static_cast<std::size_t>(n) < capacity && rate > 0 && done_bytes < total_bytes) {
        const double left = (total_bytes - done_bytes) / mib / rate;
        std::snprintf(out + n, capacity - n, ", %.0f s left", left < 1 ? 1.0 : left);
    }
}

std::string summary_text(const build_summary& s) {
    const double mib = 1024.0 * 1024.0;
    char number[64];
    std::snprintf(number, sizeof number, "%.1f MiB", s.output_bytes / mib);
    std::string out = "wrote " + s.output + ": " + number;
    if (s.files != 0) {
        const double ratio = s.file_bytes == 0 ? 100.0 : s.output_bytes * 100.0 / s.file_bytes;
        std::snprintf(number, sizeof number, " %s of %.1f MiB (%.0f%% of %s size)",
                      s.files == 1 ? "file" : "files", s.file_bytes / mib, ratio,
                      s.files == 1 ? "its" : "their");
        out += ", " + std::to_string(s.files) + number;
    }
    std::snprintf(number, sizeof number, ", in %.1f s", s.seconds);
    return out + number + "; it unpacks into " + s.folder;
}
