#include "tools/pack/folder_listing.h"

#include "format/names.h"
#include "format/upper_case.h"
#include "tools/host/host_platform.h"
#include "tools/image/pe_image.h"
#include "tools/pack/exclude.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

// How many candidates a message about the main program lists.
constexpr std::size_t listed_candidates = 8;

// Windows compares file names without regard to case, by its own table and
// not the builder's locale; two names that differ only in case would unpack
// over each other.
std::u16string case_folded(const std::u16string& name) {
    std::u16string out = name;
    for (char16_t& u : out) {
        if (u < 0xD800 || u > 0xDFFF) u = upper_case_unit(u);
    }
    return out;
}

bool is_exe_name(const std::u16string& name) {
    return name.size() >= 4 && case_folded(name.substr(name.size() - 4)) == u".EXE";
}

// The launcher can only start a 64-bit Windows program; anything else would
// build fine and fail on every start on the user's machine.
void check_main_program(const folder_entry& main) {
    std::FILE* f = open_file(main.disk_path, "rb");
    if (f == nullptr) {
        throw tool_error("cannot read " + in_quotes(main.disk_path) + ": " + std::strerror(errno));
    }
    std::vector<unsigned char> head(program_head_size);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) throw tool_error("cannot read " + in_quotes(main.disk_path));
    const std::string problem = program_image_problem(head.data(), head.size());
    if (!problem.empty()) {
        throw tool_error("the main program " + in_quotes(utf16_to_utf8(main.name)) +
                         " is not a 64-bit Windows program: " + problem);
    }
}

// The walk of one folder: the application folder itself, or a folder a
// link inside it leads to, carried under the link's name.
struct folder_walk {
    fs::path root;  // the application folder, resolved
    const std::vector<std::string>* excludes;
    std::vector<folder_entry>* files;
    std::vector<fs::path> following;  // resolved folders being walked, to stop loops
};

std::u16string entry_name(const fs::path& relative, const std::string& shown) {
    std::u16string name;
    for (const fs::path& part : relative) {
        const std::string part_text = path_to_utf8(part);
        // A backslash inside a Linux file name would read as a folder level.
        if (part_text.find('\\') != std::string::npos) {
            throw tool_error("cannot pack " + in_quotes(shown) +
                             ": the name holds a character that Windows file names cannot hold");
        }
        if (!name.empty()) name += u'\\';
        name += utf8_to_utf16(part_text, "the name " + in_quotes(shown));
    }
    const std::string problem = name_problem(name);
    if (!problem.empty()) throw tool_error("cannot pack " + in_quotes(shown) + ": " + problem);
    return name;
}

// A relative path as --exclude patterns and messages see it: levels
// joined by "/" on every host.
std::string slash_joined(const fs::path& relative) {
    std::string out;
    for (const fs::path& part : relative) out += (out.empty() ? "" : "/") + path_to_utf8(part);
    return out;
}

void walk_folder(folder_walk& w, const fs::path& folder, const fs::path& prefix);

// A link inside the folder: what it leads to, resolved, is carried under its
// name when it lies inside the folder too.
void follow_link(folder_walk& w, const fs::path& link, const fs::path& relative,
                 const std::string& shown) {
    std::error_code ec;
    const fs::path target = fs::canonical(link, ec);
    const std::string fix =
        "; copy what it leads to into the folder (cp -rL), or leave it out "
        "with --exclude " +
        in_quotes(shown);
    if (ec) throw tool_error("the symbolic link " + in_quotes(shown) + " leads nowhere" + fix);
    if (!lies_within(target, w.root)) {
        throw tool_error("the symbolic link " + in_quotes(shown) +
                         " leads outside the folder, to " + in_quotes(path_to_utf8(target)) + fix);
    }
    const fs::file_status st = fs::status(target, ec);
    if (!ec && fs::is_regular_file(st)) {
        w.files->push_back({entry_name(relative, shown), path_to_utf8(target)});
    } else if (!ec && fs::is_directory(st)) {
        // A folder that holds the link, or one being walked already, would
        // be copied into itself without end.
        const fs::path here = fs::canonical(link.parent_path(), ec);
        if ((!ec && lies_within(here, target)) ||
            std::find(w.following.begin(), w.following.end(), target) != w.following.end()) {
            throw tool_error("the symbolic link " + in_quotes(shown) +
                             " leads to a folder that holds it, so its copy would never end" + fix);
        }
        w.following.push_back(target);
        walk_folder(w, target, relative);
        w.following.pop_back();
    } else {
        throw tool_error("not a regular file or folder: " + in_quotes(shown));
    }
}

void walk_folder(folder_walk& w, const fs::path& folder, const fs::path& prefix) {
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
    if (ec) {
        throw tool_error("cannot read folder " + in_quotes(path_to_utf8(folder)) + ": " +
                         ec.message());
    }
    // The folder the next step reads: a step that fails turns the iterator
    // into the end one, so its error is checked before the end is, or the
    // listing would stop short without a word.
    fs::path reading = folder;
    for (;;) {
        if (ec) {
            throw tool_error("cannot read folder " + in_quotes(path_to_utf8(reading)) + ": " +
                             ec.message());
        }
        if (it == fs::recursive_directory_iterator()) break;
        const fs::directory_entry& entry = *it;
        const fs::path relative = prefix / entry.path().lexically_relative(folder);
        // Names are read as UTF-8 on both hosts (UTF-16 on Windows turned into
        // UTF-8), so both give the same entry names and the same messages.
        const std::string shown = slash_joined(relative);
        const fs::file_status st = entry.symlink_status(ec);
        if (ec) {
            throw tool_error("cannot inspect " + in_quotes(path_to_utf8(entry.path())) + ": " +
                             ec.message());
        }
        const bool folder_level = fs::is_directory(st);
        std::error_code through_link;  // a link that leads nowhere is no folder
        if (excluded(*w.excludes, shown,
                     folder_level || fs::is_directory(entry.path(), through_link))) {
            if (folder_level) it.disable_recursion_pending();
            reading = entry.path().parent_path();
            it.increment(ec);
            continue;
        }
        if (fs::is_symlink(st)) {
            follow_link(w, entry.path(), relative, shown);
            reading = entry.path().parent_path();
        } else if (folder_level) {
            // The next step opens this folder, which is what fails (no
            // access, no file descriptor left); a failure to read on where
            // this folder ends is rare enough to be named as this one's.
            reading = entry.path();
        } else if (!fs::is_regular_file(st)) {
            throw tool_error("not a regular file or folder: " + in_quotes(shown));
        } else {
            w.files->push_back({entry_name(relative, shown), path_to_utf8(entry.path())});
            reading = entry.path().parent_path();
        }
        it.increment(ec);
    }
}

void check_case_clashes(const std::vector<folder_entry>& files) {
    const auto case_clash = [](const std::u16string& a, const std::u16string& b) {
        return tool_error("names differ only in case, which Windows cannot keep apart: " +
                          in_quotes(utf16_to_utf8(a)) + " and " + in_quotes(utf16_to_utf8(b)));
    };
    std::vector<std::pair<std::u16string, std::size_t>> folded;
    for (std::size_t i = 0; i < files.size(); ++i)
        folded.push_back({case_folded(files[i].name), i});
    std::sort(folded.begin(), folded.end());
    for (std::size_t i = 1; i < folded.size(); ++i) {
        if (folded[i].first == folded[i - 1].first) {
            throw case_clash(files[folded[i - 1].second].name, files[folded[i].second].name);
        }
    }
    // A file whose name is a folder's but for case would be that folder on
    // Windows, so one of the two could never be unpacked. Two folders that
    // differ only in case just merge into one there, which harms nothing.
    // Folding works unit by unit, so a folded prefix is a prefix's folding.
    std::map<std::u16string, std::u16string> folders;  // folded name, the name as found
    for (const auto& [name, i] : folded) {
        for (std::size_t at = name.find(u'\\'); at != std::u16string::npos;
             at = name.find(u'\\', at + 1)) {
            folders.emplace(name.substr(0, at), files[i].name.substr(0, at));
        }
    }
    for (const auto& [name, i] : folded) {
        const auto folder = folders.find(name);
        if (folder != folders.end()) throw case_clash(folder->second, files[i].name);
    }
}

// The .exe files a vendor could mean: those at the top, or else any, in
// block order, as "a.exe, b.exe" (with "..." past the first few).
std::string candidates(const std::vector<folder_entry>& files) {
    std::vector<std::string> found;
    for (const bool top_only : {true, false}) {
        for (const folder_entry& f : files) {
            const bool top = f.name.find(u'\\') == std::u16string::npos;
            if (is_exe_name(f.name) && (top || !top_only)) found.push_back(utf16_to_utf8(f.name));
        }
        if (!found.empty()) break;
    }
    std::string out;
    for (std::size_t i = 0; i < found.size() && i < listed_candidates; ++i) {
        out += (i == 0 ? "" : ", ") + found[i];
    }
    if (found.size() > listed_candidates) out += ", ...";
    return out.empty() ? "none" : out;
}

std::size_t find_main(const std::vector<folder_entry>& files, const std::string& app_dir,
                      const std::string& main_relpath) {
    std::size_t main_index = files.size();
    if (!main_relpath.empty()) {
        std::string normalized = main_relpath;
        std::replace(normalized.begin(), normalized.end(), '/', '\\');
        const std::u16string wanted = utf8_to_utf16(normalized, "--main");
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (files[i].name == wanted) main_index = i;
        }
        if (main_index == files.size()) {
            throw tool_error("--main " + in_quotes(main_relpath) + " is not a file in " +
                             in_quotes(app_dir) + "; its .exe files: " + candidates(files));
        }
        return main_index;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::u16string& n = files[i].name;
        if (n.find(u'\\') != std::u16string::npos || !is_exe_name(n)) continue;
        if (main_index != files.size()) {
            throw tool_error("several .exe files at the top of " + in_quotes(app_dir) + " (" +
                             candidates(files) + "); choose the main program with --main");
        }
        main_index = i;
    }
    if (main_index == files.size()) {
        throw tool_error(
            "no .exe file at the top of " + in_quotes(app_dir) +
            "; name the main program with --main (.exe files below: " + candidates(files) + ")");
    }
    return main_index;
}

}  // namespace

std::string name_problem(const std::u16string& name) {
    return entry_names::describe(entry_names::check(name.data(), name.size()));
}

std::vector<folder_entry> list_application_folder(const std::string& app_dir,
                                                  const std::string& main_relpath,
                                                  const std::vector<std::string>& excludes) {
    for (const std::string& pattern : excludes) {
        const std::string problem = exclude_pattern_problem(pattern);
        if (!problem.empty()) throw tool_error("--exclude " + in_quotes(pattern) + ": " + problem);
    }
    std::error_code ec;
    const fs::path given = path_from_utf8(app_dir);
    const fs::file_status root_status = fs::status(given, ec);
    if (ec || !fs::is_directory(root_status)) {
        throw tool_error("not a folder: " + in_quotes(app_dir));
    }
    std::vector<folder_entry> files;
    folder_walk walk{fs::canonical(given, ec), &excludes, &files, {}};
    if (ec) throw tool_error("cannot read folder " + in_quotes(app_dir) + ": " + ec.message());
    walk.following.push_back(walk.root);
    walk_folder(walk, given, fs::path());
    if (files.empty()) throw tool_error("the folder holds no files: " + in_quotes(app_dir));

    std::sort(files.begin(), files.end(),
              [](const folder_entry& a, const folder_entry& b) { return a.name < b.name; });
    check_case_clashes(files);
    const std::size_t main_index = find_main(files, app_dir, main_relpath);
    check_main_program(files[main_index]);
    std::rotate(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(main_index),
                files.begin() + static_cast<std::ptrdiff_t>(main_index) + 1);
    return files;
}

bool lies_within(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (const fs::path& level : outer) {
        if (level.empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != level) return false;
        ++i;
    }
    return true;
}
