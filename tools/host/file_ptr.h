// A C stream that closes itself: the tools read and write files with stdio
// so that one code path serves every host.
#pragma once

#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;
