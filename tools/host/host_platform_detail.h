// What the two bodies of host_platform share, for tools/host alone: the
// name of a temporary file beside an output, and the record of the one being
// written, which the handler of SIGINT and SIGTERM removes.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

namespace host_detail {

constexpr unsigned creation_attempts = 100;

// Set while the recorded temporary file exists and is ours.
extern volatile std::sig_atomic_t temporary_pending;

std::uint64_t process_id();
// A name for a temporary file or folder beside `path`: a short one of fixed
// length, so that it fits wherever the output's own name fits, however long
// that is. Creation refuses a name already taken, and the caller tries the
// next attempt.
std::string candidate_name(const std::string& path, unsigned attempt);
std::string folder_of(const std::string& path);
// Installs, once, the handler that removes the recorded temporary file and
// then ends the process as the signal would have.
void install_interrupt_handler();
// Removes the recorded temporary file; async-signal-safe.
void remove_recorded_temporary();

}  // namespace host_detail
