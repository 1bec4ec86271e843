// Host-side test helpers: scratch folders, files, hand-made payload blocks,
// and running built launchers under Wine with their full exit code.
#pragma once

#include "tests/support/block_bytes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using bytes = std::vector<unsigned char>;

// A fresh folder under the build tree, removed with everything in it.
struct scratch_folder {
    std::string path;
    scratch_folder();
    ~scratch_folder();
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& content);
void write_file(const std::string& path, const bytes& content);
std::string read_file(const std::string& path);
bytes to_bytes(const std::string& s);

// One entry of the entry stream: name, 0 unit, size, checksum (CRC-32 rule), data.
bytes entry_bytes(const std::u16string& name, const bytes& data);
// The terminator: one 0 unit.
bytes terminator_bytes();
// The index of a well-formed entry stream: each entry's header (the bytes
// before its data), then the terminator.
bytes index_of_stream(const bytes& stream);
// The frame table the packer adds after the terminator for a block of one
// frame: count 1, block offset 3, stream offset 0.
bytes one_frame_table();
// One Zstandard frame as the packer makes it (window 2^27, no content size,
// no checksum, no dictionary id).
bytes compress_frame(const bytes& content, int level = 3);
// Undoes compress_frame for a whole block, for checking what the packer wrote.
bytes decompress_block_frame(const bytes& block);

// The headers of a 64-bit Windows program, then `text`: what the packer
// takes for a main program, for tests that never run it.
bytes fake_windows_program(const std::string& text = "");

// One file of an application as a test carries it: its name as carried
// (UTF-8, levels split by backslashes) and its bytes.
struct app_file {
    std::string name;
    bytes data;
};
// The entry stream of the files, in order, and its terminator.
bytes stream_of_files(const std::vector<app_file>& files);
// Bytes that do not compress, the same for the same seed.
bytes random_bytes(std::size_t size, unsigned seed);
// How the files below `target` (a Linux folder) differ from `files`: one
// line per file missing or different, empty when each is there byte for byte.
std::string files_differing(const std::string& target, const std::vector<app_file>& files);

// The list PROBE_CHECK names: the probe child then checks, before anything
// else, that each file is there whole (size and CRC-32).
std::string probe_check_list(const std::vector<app_file>& files);

// Asks `done` every 20 ms until it says yes (true) or `seconds` have passed.
bool wait_until(const std::function<bool()>& done, int seconds);

// Paths of the things the tests drive.
std::string fenwix_tool();
// The launcher stub the tool carries, as the win64 build made it.
std::string launcher_stub();
std::string exit_code_harness();
std::string hold_file_program();
std::string probe_child_program();
std::string process_tool_program();
std::string resource_probe_program();
std::string window_watch_program();
// The probe child's image, to carry as the main program of a block.
bytes probe_child_bytes();
std::string example_app_dir();
// fenwix.exe, the Windows build of the tool.
std::string windows_tool();
// Where ./fenwix dist writes the packages, and a file of the source tree.
std::string dist_folder();
std::string source_file(const std::string& relative);
std::string windows_path(const std::string& unix_path);

struct run_result {
    std::string out;
    std::string err;
    std::uint64_t exit_code = ~0ull;  // full 32-bit code, ~0 when unknown
    bool timed_out = false;
};

// Runs a command on the host; returns its exit status (-1 if it did not exit).
int run_host(const std::vector<std::string>& argv, std::string* err = nullptr,
             std::string* out = nullptr);

// `fenwix build --block` (or APP_DIR when `block` is a folder); throws on failure.
// With FENWIX_TEST_INDEX=flipped, a folder's launcher has no index and a
// block's has one, so that a suite run twice tests both kinds.
// `name` marked as this run's: the suites run twice side by side (see
// build_launcher), and names that other processes look for (window titles,
// program file names) must not find the other run's.
std::string name_of_this_run(const std::string& name);
void build_launcher(const std::string& block_or_app, const std::string& out_exe,
                    const std::vector<std::string>& extra = {});

struct run_options {
    std::vector<std::pair<std::string, std::string>> env;  // added to the environment
    std::vector<std::string> unset;                        // removed from it
    std::string cwd;    // the current folder (Linux path), or inherit
    std::string argv0;  // the program as typed, instead of its full Windows path
    int timeout_seconds = 60;
    // Started on a terminal, so that Wine gives it a console (without one it
    // has none, as a program started detached on Windows).
    bool console = false;
};

// A Windows program running under Wine through the exit-code harness, in a
// session of its own (so a SIGINT to its group arrives as Ctrl+C), with
// stdout and stderr sent to files.
class windows_run {
public:
    windows_run(const std::string& exe, const std::vector<std::string>& args,
                const run_options& options = {});
    ~windows_run();
    windows_run(const windows_run&) = delete;
    windows_run& operator=(const windows_run&) = delete;

    void interrupt();     // SIGINT to the whole group, as a Ctrl+C typed in a terminal
    run_result finish();  // waits (up to the timeout), then collects the results

private:
    scratch_folder files_;
    int terminal_ = -1;  // the terminal's master side, held while it runs
    int group_ = -1;
    int timeout_seconds_;
};

run_result run_windows(const std::string& exe, const std::vector<std::string>& args = {},
                       const run_options& options = {});

// Processes running a program of this file name, as Windows lists them (-1
// when the list cannot be read); ends each of them (false when none ran).
int count_processes(const std::string& name);
// " ([Error CODE] TEXT)" as the launcher ends its failure lines, with the
// running system's own text for the code.
std::string system_error_suffix(std::uint32_t code);
bool kill_processes(const std::string& name);

// Starts a Windows program under Wine without waiting for it; returns the
// process group to pass to stop_background.
int start_background(const std::string& exe, const std::vector<std::string>& args);
void stop_background(int process_group);

// The Wine prefix's folder for a Windows folder below drive C:, such as
// "users/*/AppData/Local" (the first match of a glob), or empty.
std::string prefix_folder(const std::string& pattern_below_drive_c);
