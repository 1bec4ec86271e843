// What a build shows of itself: one progress line for a long pack or build
// (bytes done of the total, the share, the rate and the time left), on
// standard error, rewritten in place, only on a terminal, only once a job has
// run for about a second, and never with --quiet; and one summary line once a
// build is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Whether progress may show at all; the command decides once, at its start.
void progress_allow(bool allowed);

void progress_start(const char* what, std::uint64_t total_bytes);
void progress_add(std::uint64_t bytes);
// The same, given the bytes done so far.
void progress_reach(std::uint64_t done_bytes);
// Ends the line, if one was shown.
void progress_finish();

// The line for a state of the job, without the carriage return: pure, for tests.
// Example: "packing  12.5 MiB of 100.0 MiB (12%), 25.0 MiB/s, 4 s left".
void progress_text(char* out, std::size_t capacity, const char* what, std::uint64_t done,
                   std::uint64_t total, double seconds);

struct build_summary {
    std::string output;              // as given to -o
    std::uint64_t output_bytes = 0;  // the executable's size
    std::uint64_t files = 0;         // 0 for a launcher of a ready block
    std::uint64_t file_bytes = 0;    // the files' sizes together
    double seconds = 0;
    std::string folder;  // where it unpacks, as unpack_folder_shown tells it
};

// The one line that ends a build. Example: "wrote Tool.exe: 31.2 MiB, 1328
// files of 121.6 MiB (26% of their size), in 4.1 s; it unpacks into
// %LOCALAPPDATA%\Acme\Tool".
std::string summary_text(const build_summary& summary);
