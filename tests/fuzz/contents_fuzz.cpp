// Fuzzes the tool's readers of a launcher file (tools/inspect/): verify,
// list and extract over the input written to a file, as `fenwix verify|list|
// extract` read a damaged or foreign executable.
//
// Expected outcomes: success, or one tool_error. Beyond the sanitizers, the
// target checks what the commands promise: a failed extract leaves the
// target as it found it (absent, or an empty folder for inputs of odd
// length), an extract only succeeds where verify passes or finds only the
// index wrong (extract does not read it), list succeeds where verify passes,
// and a block that extract accepts is one the launcher's own walk unpacks to
// its end.
#include "format/values_section.h"
#include "tests/fuzz/launcher_walk.h"
#include "tools/inspect/contents.h"
#include "tools/pack/packer.h"
#include "tools/image/pe_image.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// Entries can decode to far more than the input: a cap on every file written
// turns a huge entry into a write error instead of filling the memory disk.
constexpr rlim_t max_written_file = 16 << 20;

const std::string work_prefix = "fenwix-fuzz-contents-";
fs::path work_folder;  // /dev/shm/<prefix><pid>: the input file and the extract target

bool is_empty_folder(const fs::path& folder) {
    std::error_code ec;
    return fs::is_directory(folder, ec) && fs::is_empty(folder, ec);
}

// True when `folder` holds nothing but, where `with_target`, the empty folder `target`.
bool holds_only(const fs::path& folder, const fs::path& target, bool with_target) {
    std::error_code ec;
    std::size_t count = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
        if (!with_target || e.path() != target || !is_empty_folder(target)) return false;
        ++count;
    }
    return !ec && count == (with_target ? 1u : 0u);
}

// Work folders of runs that ended without cleaning up (a crash); the folder
// of a run still going stays.
void remove_abandoned_work_folders() {
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator("/dev/shm", ec)) {
        const std::string name = e.path().filename().string();
        if (name.compare(0, work_prefix.size(), work_prefix) != 0) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(name.c_str() + work_prefix.size()));
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) fs::remove_all(e.path(), ec);
    }
}

// The launcher's walk over the block inside the image, found the way the
// tool finds it.
bool launcher_unpacks(const std::uint8_t* data, std::size_t size) {
    try {
        const pe_headers headers = parse_pe_headers(data, size, size, "input");
        const pe_section* section = find_section(headers, values_section::section_name);
        values_section::layout layout{};
        if (section == nullptr ||
            !values_section::parse(data + section->raw_offset, section->virtual_size, layout)) {
            return false;
        }
        std::size_t entries = 0;
        return walk_launcher_block(data + section->raw_offset + layout.block_offset,
                                   static_cast<std::size_t>(layout.block_length), entries);
    } catch (const tool_error&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    remove_abandoned_work_folders();
    work_folder = fs::path("/dev/shm") / (work_prefix + std::to_string(getpid()));
    fs::remove_all(work_folder);
    fs::create_directories(work_folder / "files");
    // list and verify print to standard output, kept in a file to tell what
    // verify found; libFuzzer reports on standard error.
    if (std::freopen((work_folder / "printed").c_str(), "w+", stdout) == nullptr) std::abort();
    const rlimit limit{max_written_file, max_written_file};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(work_folder, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string launcher = (work_folder / "launcher.exe").string();
    std::FILE* f = std::fopen(launcher.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();

    int verified = -1;
    std::rewind(stdout);
    if (ftruncate(fileno(stdout), 0) != 0) std::abort();
    try {
        verified = run_verify(launcher);
    } catch (const tool_error&) {
    }
    std::fflush(stdout);
    char printed[16] = {};
    std::rewind(stdout);
    // Extract reads neither the index nor the image's own checksum, so it
    // may succeed where verify finds only one of those wrong.
    const std::size_t got = verified == 1 ? std::fread(printed, 1, 11, stdout) : 0;
    const std::string said(printed, got);
    const bool only_unread_parts_wrong =
        said.rfind("the index", 0) == 0 || said.rfind("the image's", 0) == 0;
    bool listed = false;
    try {
        run_list(launcher);
        listed = true;
    } catch (const tool_error&) {
    }
    const fs::path files = work_folder / "files";
    const fs::path out = files / "out";
    const bool out_exists = size % 2 == 1;
    if (out_exists) fs::create_directory(out);
    bool extracted = false;
    try {
        run_extract(launcher, out.string());
        extracted = true;
    } catch (const tool_error&) {
    }
    // A failed extract must leave the target as it was, and nothing beside it.
    if (!extracted && !holds_only(files, out, out_exists)) std::abort();
    if (extracted && verified != 0 && !only_unread_parts_wrong) std::abort();
    if (verified == 0 && !listed) std::abort();
    if (extracted && !launcher_unpacks(data, size)) std::abort();
    std::error_code ec;
    fs::remove_all(out, ec);
    return 0;
}
