#include "tests/support/host_support.h"

#include "format/block.h"
#include "format/index.h"
#include "tests/support/entry_stream_cases.h"
#include "tools/pack/packer.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

scratch_folder::scratch_folder() {
    const fs::path base = fs::path(FENWIX_HOST_BUILD_DIR) / "scratch";
    fs::create_directories(base);
    std::string pattern = (base / "t.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

scratch_folder::~scratch_folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const bytes& content) {
    write_file(path, std::string(content.begin(), content.end()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes fake_windows_program(const std::string& text) {
    const std::size_t headers = 64 + 4 + 20 + 240;  // DOS, "PE\0\0", file and optional header
    bytes out(headers + text.size(), 0);
    std::copy(text.begin(), text.end(), out.begin() + headers);
    // "MZ", e_lfanew, "PE", x64, the optional header's size, executable and
    // large-address aware, PE32+.
    const std::pair<std::size_t, unsigned> fields[] = {
        {0, 0x5A4D}, {60, 64}, {64, 0x4550}, {68, 0x8664}, {84, 240}, {86, 0x22}, {88, 0x20B}};
    for (const auto& [at, value] : fields) payload_format::write_le(&out[at], value, 2);
    return out;
}

bytes entry_bytes(const std::u16string& name, const bytes& data) {
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size()));
    bytes out = encode_entry_header(
        name, data.size(),
        payload_format::entry_checksum_from_crc(static_cast<std::uint32_t>(crc)));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bytes terminator_bytes() { return bytes{0, 0}; }

bytes compress_frame(const bytes& content, int level) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, payload_format::frame_window_log);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0);
    bytes out(ZSTD_compressBound(content.size()) + 64);
    ZSTD_outBuffer o{out.data(), out.size(), 0};
    ZSTD_inBuffer i{content.data(), content.size(), 0};
    const std::size_t left = ZSTD_compressStream2(c, &o, &i, ZSTD_e_end);
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(left) || left != 0) throw std::runtime_error("compression failed");
    out.resize(o.pos);
    return out;
}

bytes index_of_stream(const bytes& stream) {
    // Read by the one block reader, as the launcher and the tool read it.
    plain_decoder source{&stream, 0, stream.size()};
    bytes window(payload_format::window_size), data(payload_format::copy_chunk_size);
    block_reader::reader r;
    block_reader::open(r, decoder_over(source), window.data(), window.size());
    bytes index;
    char16_t name[payload_format::name_buffer_units];
    entry_walk::fields fields;
    while (block_reader::next_entry(r, name, fields) == block_reader::result::ok) {
        const bytes header =
            encode_entry_header(std::u16string(name, fields.units), fields.size, fields.checksum);
        index.insert(index.end(), header.begin(), header.end());
        for (std::uint64_t left = fields.size; left > 0;) {
            const std::size_t n = left < data.size() ? static_cast<std::size_t>(left) : data.size();
            if (block_reader::read(r, data.data(), n) != block_reader::result::ok) break;
            left -= n;
        }
    }
    const bytes end = terminator_bytes();
    index.insert(index.end(), end.begin(), end.end());
    return index;
}

bytes one_frame_table() {
    bytes table(payload_index::frame_count_size + payload_index::frame_record_size, 0);
    table[0] = 1;
    table[4] = payload_format::magic_size;
    return table;
}

bytes decompress_block_frame(const bytes& block) {
    ZSTD_DCtx* d = ZSTD_createDCtx();
    bytes out;
    bytes buffer(1 << 16);
    ZSTD_inBuffer in{block.data() + 3, block.size() - 3 - 12, 0};
    std::size_t rc = 1;
    while (in.pos < in.size || rc != 0) {
        ZSTD_outBuffer o{buffer.data(), buffer.size(), 0};
        rc = ZSTD_decompressStream(d, &o, &in);
        if (ZSTD_isError(rc)) {
            ZSTD_freeDCtx(d);
            throw std::runtime_error(ZSTD_getErrorName(rc));
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + o.pos);
        if (o.pos == 0 && in.pos == in.size) break;
    }
    ZSTD_freeDCtx(d);
    return out;
}

std::string fenwix_tool() { return FENWIX_TOOL; }
std::string launcher_stub() { return std::string(FENWIX_WIN64_DIR) + "/stub/fenwix-stub.exe"; }
std::string exit_code_harness() {
    return std::string(FENWIX_WIN64_DIR) + "/tests/harness/exit_code_harness.exe";
}
std::string probe_child_program() {
    return std::string(FENWIX_WIN64_DIR) + "/tests/harness/probe_child.exe";
}
std::string process_tool_program() {
    return std::string(FENWIX_WIN64_DIR) + "/tests/harness/process_tool.exe";
}
bytes probe_child_bytes() { return to_bytes(read_file(probe_child_program())); }
std::string resource_probe_program() {
    return std::string(FENWIX_WIN64_DIR) + "/tests/harness/resource_probe.exe";
}
std::string window_watch_program() {
    return std::string(FENWIX_WIN64_DIR) + "/tests/harness/window_watch.exe";
}
std::string hold_file_program() {
    return std::string(FENWIX_WIN64_DIR) + "/tests/harness/hold_file.exe";
}
std::string example_app_dir() { return std::string(FENWIX_WIN64_DIR) + "/example-app"; }
std::string windows_tool() { return std::string(FENWIX_WIN64_DIR) + "/bin/fenwix.exe"; }
std::string dist_folder() { return std::string(FENWIX_SOURCE_DIR) + "/dist"; }
std::string source_file(const std::string& relative) {
    return std::string(FENWIX_SOURCE_DIR) + "/" + relative;
}

std::string windows_path(const std::string& unix_path) {
    std::string out = "Z:" + fs::absolute(unix_path).lexically_normal().string();
    for (char& c : out) {
        if (c == '/') c = '\\';
    }
    return out;
}

namespace {

// Starts argv in a session of its own with stdout/stderr sent to files.
pid_t spawn(const std::vector<std::string>& argv,
            const std::vector<std::pair<std::string, std::string>>& env,
            const std::vector<std::string>& unset, const std::string& cwd,
            const std::string& out_file, const std::string& err_file,
            const std::string& in_file = "/dev/null") {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();  // its own session and process group: signals reach all of it
        // A terminal opened now becomes the session's own, as in a shell.
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        for (const std::string& name : unset) unsetenv(name.c_str());
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (!freopen(in_file.c_str(), "rb", stdin) || !freopen(out_file.c_str(), "wb", stdout) ||
            !freopen(err_file.c_str(), "wb", stderr)) {
            _exit(126);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits for pid up to timeout_seconds; kills its group on timeout.
int wait_for(pid_t pid, int timeout_seconds, bool* timed_out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            if (timed_out) *timed_out = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int run_host(const std::vector<std::string>& argv, std::string* err, std::string* out) {
    scratch_folder scratch;
    const int rc =
        wait_for(spawn(argv, {}, {}, "", scratch / "out", scratch / "err"), 300, nullptr);
    if (err) *err = read_file(scratch / "err");
    if (out) *out = read_file(scratch / "out");
    return rc;
}

std::string name_of_this_run(const std::string& name) {
    const char* index_mode = std::getenv("FENWIX_TEST_INDEX");
    return index_mode == nullptr ? name : name + "-" + index_mode;
}

void build_launcher(const std::string& block_or_app, const std::string& out_exe,
                    const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {fenwix_tool(), "build"};
    // FENWIX_TEST_INDEX=flipped builds each launcher the other way round: a
    // folder's without its index, a ready block's with one made by decoding
    // it, so every test runs once with and once without an index.
    const char* index_mode = std::getenv("FENWIX_TEST_INDEX");
    const bool flipped = index_mode != nullptr && std::string(index_mode) == "flipped" &&
                         std::find(extra.begin(), extra.end(), "--index") == extra.end();
    if (fs::is_directory(block_or_app)) {
        argv.push_back(block_or_app);
        if (flipped) argv.insert(argv.end(), {"--index", "none"});
    } else {
        argv.push_back("--block");
        argv.push_back(block_or_app);
        if (flipped) argv.insert(argv.end(), {"--index", "decoded"});
    }
    argv.push_back("-o");
    argv.push_back(out_exe);
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string err;
    if (run_host(argv, &err) != 0) throw std::runtime_error("fenwix build failed: " + err);
}

windows_run::windows_run(const std::string& exe, const std::vector<std::string>& args,
                         const run_options& options)
    : timeout_seconds_(options.timeout_seconds) {
    std::vector<std::string> argv = {std::string(FENWIX_SOURCE_DIR) + "/scripts/wine-run",
                                     exit_code_harness(), windows_path(files_ / "exit-code.txt"),
                                     options.argv0.empty() ? windows_path(exe) : options.argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string input = "/dev/null";
    if (options.console) {
        terminal_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) {
            throw std::runtime_error("no terminal for a console");
        }
        input = ptsname(terminal_);
    }
    group_ = spawn(argv, options.env, options.unset, options.cwd, files_ / "stdout",
                   files_ / "stderr", input);
}

windows_run::~windows_run() {
    if (group_ > 0) {
        kill(-group_, SIGKILL);
        int status = 0;
        waitpid(group_, &status, 0);
    }
    if (terminal_ >= 0) close(terminal_);
}

void windows_run::interrupt() { kill(-group_, SIGINT); }

run_result windows_run::finish() {
    run_result r;
    wait_for(group_, timeout_seconds_, &r.timed_out);
    group_ = -1;
    r.out = read_file(files_ / "stdout");
    r.err = read_file(files_ / "stderr");
    const std::string code = read_file(files_ / "exit-code.txt");
    if (!code.empty()) r.exit_code = std::stoull(code);
    return r;
}

run_result run_windows(const std::string& exe, const std::vector<std::string>& args,
                       const run_options& options) {
    windows_run run(exe, args, options);
    return run.finish();
}

int start_background(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(FENWIX_SOURCE_DIR) + "/scripts/wine-run",
                                     windows_path(exe)};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, {}, {}, "", "/dev/null", "/dev/null");
}

void stop_background(int process_group) {
    kill(-process_group, SIGKILL);
    int status = 0;
    waitpid(process_group, &status, 0);
}

std::string prefix_folder(const std::string& pattern_below_drive_c) {
    const char* prefix = std::getenv("FENWIX_WINEPREFIX");
    const fs::path drive_c =
        fs::path(prefix && *prefix ? prefix
                                   : std::string(FENWIX_SOURCE_DIR) + "/build/wineprefix") /
        "drive_c";
    // Only "*" as a whole level is needed: users/*/AppData/...
    std::vector<fs::path> candidates = {drive_c};
    std::stringstream levels(pattern_below_drive_c);
    std::string level;
    while (std::getline(levels, level, '/')) {
        std::vector<fs::path> next;
        for (const fs::path& c : candidates) {
            if (level == "*") {
                std::error_code ec;
                for (const auto& e : fs::directory_iterator(c, ec)) {
                    if (e.is_directory()) next.push_back(e.path());
                }
            } else if (fs::exists(c / level)) {
                next.push_back(c / level);
            }
        }
        candidates = next;
    }
    return candidates.empty() ? std::string() : candidates.front().string();
}

bytes stream_of_files(const std::vector<app_file>& files) {
    bytes stream;
    for (const app_file& f : files) {
        const bytes e = entry_bytes(utf8_to_utf16(f.name, "a test's file name"), f.data);
        stream.insert(stream.end(), e.begin(), e.end());
    }
    const bytes end = terminator_bytes();
    stream.insert(stream.end(), end.begin(), end.end());
    return stream;
}

bytes random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    bytes out(size);
    for (unsigned char& b : out) b = static_cast<unsigned char>(generator());
    return out;
}

std::string files_differing(const std::string& target, const std::vector<app_file>& files) {
    std::string out;
    for (const app_file& f : files) {
        std::string path = f.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        path = target + "/" + path;
        if (!std::filesystem::is_regular_file(path)) {
            out += "missing: " + path + "\n";
        } else if (to_bytes(read_file(path)) != f.data) {
            out += "different: " + path + "\n";
        }
    }
    return out;
}

std::string probe_check_list(const std::vector<app_file>& files) {
    std::string list;
    for (const app_file& f : files) {
        const uLong crc =
            crc32(crc32(0L, Z_NULL, 0), f.data.data(), static_cast<uInt>(f.data.size()));
        char line[64];
        snprintf(line, sizeof line, "%zu %08lx ", f.data.size(), static_cast<unsigned long>(crc));
        list += line + f.name + "\n";
    }
    return list;
}

bool wait_until(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int count_processes(const std::string& name) {
    const run_result r = run_windows(process_tool_program(), {"count", name});
    return r.exit_code == 0 ? std::stoi(r.out) : -1;
}

std::string system_error_suffix(std::uint32_t code) {
    const run_result r = run_windows(process_tool_program(), {"message", std::to_string(code)});
    return " ([Error " + std::to_string(static_cast<std::int32_t>(code)) + "]" +
           (r.exit_code == 0 ? " " + r.out : "") + ")";
}

bool kill_processes(const std::string& name) {
    return run_windows(process_tool_program(), {"kill", name}).exit_code == 0;
}
