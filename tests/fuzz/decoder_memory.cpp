// The decoders' memory in the fuzz build. The targets link with
// -Wl,--wrap=ZSTD_createDCtx, so the launcher's reader and the tool's reader
// get the same decoder with the same parameters, only its large buffers come
// straight from mmap. libzstd is Debian's uninstrumented library, so
// AddressSanitizer cannot check inside those buffers anyway, and poisoning
// the 2^27-byte window of every packer-made frame on each run took almost
// all of the fuzzing time. Smaller allocations stay on the checked heap,
// where a decoder that is never freed still shows as a leak.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>

namespace {

constexpr std::size_t mapped_from = 1 << 20;
constexpr std::size_t header_size = 64;  // the size, keeping the block aligned

void* allocate(void*, std::size_t size) {
    const std::size_t total = size + header_size;
    void* block = nullptr;
    if (total >= mapped_from) {
        block = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) return nullptr;
    } else {
        block = std::malloc(total);
        if (block == nullptr) return nullptr;
    }
    *static_cast<std::size_t*>(block) = total;
    return static_cast<unsigned char*>(block) + header_size;
}

void release(void*, void* address) {
    if (address == nullptr) return;
    void* block = static_cast<unsigned char*>(address) - header_size;
    const std::size_t total = *static_cast<std::size_t*>(block);
    if (total >= mapped_from) {
        munmap(block, total);
    } else {
        std::free(block);
    }
}

}  // namespace

extern "C" ZSTD_DCtx* __wrap_ZSTD_createDCtx() {
    return ZSTD_createDCtx_advanced(ZSTD_customMem{allocate, release, nullptr});
}
