// The packer's memory: how the budget is shared out, and what a compressing
// thread is said to take against what Zstandard really allocates.
#include "tools/pack/frame_compress.h"

#include "format/block.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_sizeof_CCtx
#include <zstd.h>

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t mib = 1 << 20;

TEST(FrameCompressTest, ThreadsAreAsManyAsTheBudgetHoldsLeavingAnEighthForWaitingOutput) {
    // A budget of 800 keeps 100 for waiting output: 700 holds seven threads of 100.
    const struct {
        unsigned cores;
        std::uint64_t thread_bytes;
        unsigned threads;
        std::uint64_t held;
    } cases[] = {
        {6, 100, 6, 200}, {7, 100, 7, 100}, {8, 100, 7, 100}, {64, 100, 7, 100},
        {8, 99, 7, 107},  {8, 101, 6, 194}, {8, 700, 1, 100}, {8, 701, 1, 99},
        {8, 800, 1, 0},   {8, 2000, 1, 0},  {0, 100, 1, 700}, {3, 0, 3, 800},
    };
    for (const auto& c : cases) {
        const compress_share share = share_memory(c.cores, c.thread_bytes, 800);
        EXPECT_EQ(share.threads, c.threads) << c.cores << " cores of " << c.thread_bytes;
        EXPECT_EQ(share.held_bytes, c.held) << c.cores << " cores of " << c.thread_bytes;
    }
}

// A Zstandard context set up as the packer's compressor sets it up, after
// it took its first byte: what it really allocated.
std::size_t real_context_bytes(int level, std::uint64_t frame_bytes) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, payload_format::packed_window_log);
    ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setPledgedSrcSize(context, frame_bytes);
    const unsigned char byte = 0;
    unsigned char out[1024];
    ZSTD_inBuffer in{&byte, 1, 0};
    ZSTD_outBuffer o{out, sizeof out, 0};
    EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream2(context, &o, &in, ZSTD_e_continue)));
    const std::size_t bytes = ZSTD_sizeof_CCtx(context);
    ZSTD_freeCCtx(context);
    return bytes;
}

// The bound rests on the estimate: it must not fall below what the context
// takes, for the largest frames and for short ones, at the fast and the
// strongest levels; and one thread alone fits the budget even at level 22.
TEST(FrameCompressTest, ThreadBytesCoverTheRealContextAndOneThreadFitsAtEveryLevel) {
    for (const int level : {1, 3, 19, 22}) {
        for (const std::uint64_t frame : {std::uint64_t{64} << 10, 128 * mib}) {
            const std::uint64_t said = compress_thread_bytes(level, frame);
            const std::size_t real = real_context_bytes(level, frame);
            EXPECT_GE(said, real) << "level " << level << ", frame " << frame;
            EXPECT_LE(said, real + 4 * mib) << "level " << level << ", frame " << frame;
        }
    }
    for (int level = 1; level <= 22; ++level) {
        EXPECT_LE(compress_thread_bytes(level, 128 * mib), compress_memory_budget) << level;
    }
}

}  // namespace
