// One progress line for a long pack or build: bytes done of the total and the
// rate, on standard error, rewritten in place. It shows only on a terminal,
// only once a job has run for about a second, and never with --quiet.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether progress may show at all; the command decides once, at its start.
void progress_allow(bool allowed);

void progress_start(const char* what, std::uint64_t total_bytes);
void progress_add(std::uint64_t bytes);
// The same, given the bytes done so far.
void progress_reach(std::uint64_t done_bytes);
// Ends the line, if one was shown.
void progress_finish();

// The line for a state of the job, without the carriage return: pure, for tests.
// Example: "packing  12.5 MiB of 100.0 MiB, 25.0 MiB/s".
void progress_text(char* out, std::size_t capacity, const char* what, std::uint64_t done,
                   std::uint64_t total, double seconds);
