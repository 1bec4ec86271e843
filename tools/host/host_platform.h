// The few operating-system calls of the fenwix tool, the same on Linux and on
// Windows. Every path is UTF-8 text on both hosts; on Windows it is turned
// into UTF-16 at the call, so names outside the ANSI code page work.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// The command's arguments as UTF-8 (on Windows from the UTF-16 command line).
std::vector<std::string> utf8_arguments(int argc, char** argv);

std::filesystem::path path_from_utf8(const std::string& path);
std::string path_to_utf8(const std::filesystem::path& path);

// fopen with a UTF-8 path; nullptr (errno set) on failure.
std::FILE* open_file(const std::string& path, const char* mode);

// Moves to a 64-bit offset from the start of the file.
bool seek_file(std::FILE* file, std::uint64_t offset);

// Creates a new empty file beside `path` (in the same folder, so that
// replace_file can move it over `path` in one step), opened for writing and
// reading in binary mode; sets `temporary` to its name, a short one of fixed
// length. Until forget_temporary, SIGINT or SIGTERM removes the file before
// the process ends as the signal would end it. Throws tool_error.
std::FILE* create_temporary_beside(const std::string& path, std::string& temporary);
// The temporary file was renamed into place or removed.
void forget_temporary();

// Creates a new empty folder beside `path`, with the permissions a new folder
// gets from the host (the umask on Linux); returns its name, a short one of
// fixed length. Throws tool_error.
std::string create_temporary_folder_beside(const std::string& path);

// Flushes the stream and the file's data to the disk.
bool flush_to_disk(std::FILE* file);

// Lets the disk start on what the stream holds so far, without waiting for
// it; a large file then takes little longer to flush than to copy.
void start_writeback(std::FILE* file);

// Renames `from` to `to`, replacing a file at `to` in one step.
bool replace_file(const std::string& from, const std::string& to);

// Marks a finished file as executable where the host has such a mark.
void make_executable(const std::string& path);

// An anonymous pipe as two binary streams: what is written to `write_end`
// is read from `read_end`, and closing `write_end` ends the reading. False
// (errno set) when the system gives none.
bool open_pipe(std::FILE*& read_end, std::FILE*& write_end);

// Whether the stream is an interactive terminal (progress lines go only there).
bool is_terminal(std::FILE* stream);

// Runs `writer` on a temporary file beside `path` and renames that into place
// only when the writer and the final flush succeed; on any failure (a thrown
// tool_error included) the temporary file is removed and `path` is untouched.
void write_file_atomically(const std::string& path, const std::function<void(std::FILE*)>& writer);
