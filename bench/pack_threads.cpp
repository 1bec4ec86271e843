// Packs a folder as `fenwix pack` does, with the cores it may use given
// instead of found, so that the memory bound of a machine with many cores
// can be measured on one with few (bench/pack_memory.py --threads N).
//
//     pack_threads FOLDER BLOCK LEVEL CORES
#include "tools/host/text.h"
#include "tools/pack/folder_listing.h"
#include "tools/pack/packer.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: pack_threads FOLDER BLOCK LEVEL CORES\n");
        return 2;
    }
    const int level = std::atoi(argv[3]);
    const int cores = std::atoi(argv[4]);
    if (level < 1 || level > 22 || cores < 1 || cores > 1024) {
        std::fprintf(stderr, "pack_threads: LEVEL is 1 to 22, CORES 1 to 1024\n");
        return 2;
    }
    try {
        frame_plan plan;
        plan.threads = static_cast<unsigned>(cores);
        write_block(list_application_folder(argv[1], ""), argv[2], level, {}, plan);
    } catch (const tool_error& e) {
        std::fprintf(stderr, "pack_threads: %s\n", e.what());
        return 2;
    }
    return 0;
}
