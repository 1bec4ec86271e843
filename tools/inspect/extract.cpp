// `fenwix extract`: the entries of a launcher's block written below a new or
// empty folder, through a temporary folder moved into place only when every
// entry is complete.
#include "tools/inspect/contents.h"

#include "tools/host/host_platform.h"
#include "tools/host/text.h"
#include "tools/inspect/launcher_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void write_entries(launcher_file& f, const fs::path& root) {
    block_stream s = open_block_stream(f);
    block_entry e;
    while (s.next_entry(e)) {
        const std::string problem = entry_names::describe(e.problem);
        if (!problem.empty()) throw tool_error("cannot extract " + entry_label(e) + ": " + problem);
        bool exact = true;
        const std::string name = utf16_to_utf8(e.name, &exact);
        if (!exact) {
            throw tool_error("cannot extract " + entry_label(e) +
                             ": the name holds an unpaired UTF-16 surrogate");
        }
        // The name rule leaves only plain levels: none is empty, "." or "..",
        // absolute or a drive, so the path stays below root.
        fs::path target = root;
        for (std::size_t start = 0; start <= name.size();) {
            std::size_t end = name.find('\\', start);
            if (end == std::string::npos) end = name.size();
            target /= path_from_utf8(name.substr(start, end - start));
            start = end + 1;
        }
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        const std::string target_text = path_to_utf8(target);
        if (ec) {
            throw tool_error("cannot create a folder for " + entry_label(e) + ": " + ec.message());
        }
        file_ptr out(open_file(target_text, "wb"));
        if (!out) {
            throw tool_error("cannot write " + in_quotes(target_text) + ": " +
                             std::strerror(errno));
        }
        const std::uint32_t computed = s.copy_entry_data(e, out.get(), target_text);
        if (std::fclose(out.release()) != 0) {
            throw tool_error("cannot write " + in_quotes(target_text) + ": " +
                             std::strerror(errno));
        }
        if (computed != e.checksum) throw tool_error(mismatch_text(e, computed));
    }
    s.expect_end();
}

// Moves every entry of `from` into `to`, which holds nothing of the same
// name; on any failure moves back what was moved and throws.
void move_entries(const fs::path& from, const fs::path& to, const std::string& shown_to) {
    std::error_code ec;
    std::vector<fs::path> names;
    for (fs::directory_iterator it(from, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        names.push_back(it->path().filename());
    }
    if (ec) throw tool_error("cannot read " + in_quotes(path_to_utf8(from)) + ": " + ec.message());
    std::size_t moved = 0;
    try {
        for (; moved < names.size(); ++moved) {
            const fs::path destination = to / names[moved];
            // A rename would replace a file that arrived since the folder was
            // found empty.
            if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found) {
                throw tool_error(in_quotes(path_to_utf8(destination)) +
                                 " appeared while the entries were written");
            }
            fs::rename(from / names[moved], destination, ec);
            if (ec) {
                throw tool_error("cannot move " + in_quotes(path_to_utf8(names[moved])) + " into " +
                                 in_quotes(shown_to) + ": " + ec.message());
            }
        }
    } catch (...) {
        while (moved > 0) {
            --moved;
            fs::rename(to / names[moved], from / names[moved], ec);
        }
        throw;
    }
}

}  // namespace

void run_extract(const std::string& launcher, const std::string& folder) {
    fs::path target = path_from_utf8(folder);
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(target, ec);
    const bool existing = status.type() != fs::file_type::not_found;
    if (existing) {
        if (ec) throw tool_error("cannot inspect " + in_quotes(folder) + ": " + ec.message());
        if (!fs::is_directory(status) || !fs::is_empty(target, ec) || ec) {
            throw tool_error(in_quotes(folder) + " already exists and is not an empty folder");
        }
    } else {
        // A trailing separator would leave no name to put the temporary folder beside.
        while (!target.has_filename() && target.has_relative_path()) target = target.parent_path();
    }

    // Every check that needs no writing comes before the first write.
    launcher_file f = open_launcher(launcher);
    // An existing folder stays the folder it is: it may be the current one
    // of the user's shell, or a mount point, which a rename would replace or
    // leave. Its temporary folder is made inside it (the one place known to
    // be writable, on the same file system), and the entries move up from
    // there once every one is complete. A new folder is made beside its
    // place and renamed into it.
    const std::string temporary =
        create_temporary_folder_beside(path_to_utf8(existing ? target / "entries" : target));
    const fs::path temporary_path = path_from_utf8(temporary);
    try {
        write_entries(f, temporary_path);
        if (existing) {
            move_entries(temporary_path, target, folder);
            fs::remove(temporary_path, ec);
            if (ec) {
                throw tool_error("cannot remove " + in_quotes(temporary) + ": " + ec.message());
            }
        } else {
            fs::rename(temporary_path, target, ec);
            if (ec) {
                throw tool_error("cannot rename " + in_quotes(temporary) + " to " +
                                 in_quotes(folder) + ": " + ec.message());
            }
        }
    } catch (...) {
        fs::remove_all(temporary_path, ec);
        throw;
    }
}
