// The files of an application folder, as a launcher will carry them.
//
// Entry order: the main program first, then every other regular file ordered
// by its UTF-16 name, so the same folder always gives a byte-identical block.
// A symbolic link that leads to a file or folder inside the application
// folder is carried as a copy of what it leads to (npm's node_modules/.bin
// holds such links); one that leads outside, or nowhere, is refused, since
// the vendor's folder would then not be what they shipped.
#pragma once

#include "tools/host/text.h"

#include <filesystem>
#include <string>
#include <vector>

struct folder_entry {
    std::u16string name;    // backslash-separated, relative to the folder
    std::string disk_path;  // where the packer reads the file
};

// Lists the folder's files in block order, leaving out what matches one of
// `excludes` (tools/pack/exclude.h). main_relpath may be empty (the single
// top-level .exe is then the main program). Throws tool_error for an empty
// folder, a missing or ambiguous main program (listing the candidates), a
// name that cannot be carried, names equal when case is ignored, a link
// leading outside the folder, and anything that is neither a regular file
// nor a folder.
std::vector<folder_entry> list_application_folder(const std::string& app_dir,
                                                  const std::string& main_relpath,
                                                  const std::vector<std::string>& excludes = {});

// Why a name cannot be carried, or empty when it can.
std::string name_problem(const std::u16string& name);

// Whether `inner` is `outer` or lies below it, both resolved: where a link
// leads, and whether an output lies inside the folder being packed.
bool lies_within(const std::filesystem::path& inner, const std::filesystem::path& outer);
