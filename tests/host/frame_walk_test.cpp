// The walk over frames decoded alone (format/frame_walk.h): every way of
// cutting a stream into frames hands out each entry's data exactly once, at
// its offset, and anything that is not the index's is refused.
#include "format/frame_walk.h"
#include "tests/support/host_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct laid_out {
    bytes stream, index;
    std::vector<payload_index::entry> entries;
    std::vector<std::uint64_t> starts;
    frame_walk::layout map;
};

laid_out lay_out(const std::vector<app_file>& files) {
    laid_out l;
    l.stream = stream_of_files(files);
    l.index = index_of_stream(l.stream);
    std::size_t pos = 0;
    payload_index::entry e;
    while (payload_index::next(l.index.data(), l.index.size(), pos, e) ==
           payload_index::step::entry) {
        l.entries.push_back(e);
    }
    l.starts.resize(l.entries.size() + 1);
    EXPECT_TRUE(frame_walk::lay_out(l.entries.data(), l.entries.size(), l.starts.data()));
    l.map = {l.entries.data(), l.entries.size(), l.starts.data()};
    return l;
}

// Walks `stream` cut at `cuts` into frames, each fed in pieces of `step`;
// rebuilds every file from the pieces handed out, or says why it stopped.
std::string walk_all(const laid_out& l, const bytes& stream, const std::vector<std::size_t>& cuts,
                     std::size_t step, std::vector<bytes>& rebuilt) {
    rebuilt.assign(l.entries.size(), {});
    for (std::size_t i = 0; i < l.entries.size(); ++i) rebuilt[i].resize(l.entries[i].size);
    for (std::size_t f = 0; f <= cuts.size(); ++f) {
        const std::size_t from = f == 0 ? 0 : cuts[f - 1];
        const std::size_t to = f < cuts.size() ? cuts[f] : stream.size();
        frame_walk::walk w;
        frame_walk::begin(w, l.map, from, f < cuts.size() ? to : UINT64_MAX);
        for (std::size_t at = from; at < to; at += step) {
            const std::size_t n = std::min(step, to - at);
            const auto fed = frame_walk::feed(
                w, stream.data() + at, n,
                [&](std::size_t e, std::uint64_t offset, const unsigned char* p, std::size_t k) {
                    std::copy(p, p + k, rebuilt[e].begin() + static_cast<std::ptrdiff_t>(offset));
                    return true;
                });
            if (fed == frame_walk::fed::header_differs) return "header differs";
            if (fed == frame_walk::fed::past_end) return "past end";
        }
        if (!frame_walk::ended_right(w)) return "ended wrong";
    }
    return "ok";
}

TEST(FrameWalkTest, EveryCutHandsOutEachEntryOnceAndRefusesWhatIsNotTheIndexs) {
    const std::vector<app_file> files = {
        {"app.exe", random_bytes(5000, 1)}, {"empty", {}}, {"b\\c.dat", random_bytes(3000, 2)}};
    const laid_out l = lay_out(files);
    const std::size_t n = l.stream.size();
    ASSERT_EQ(frame_walk::stream_length(l.map), n);
    struct row {
        const char* what;
        std::vector<std::size_t> cuts;
        std::size_t flip;  // a byte of the stream changed, or SIZE_MAX
        bytes tail;        // decoded after the terminator, in the last frame
        const char* outcome;
    };
    const std::vector<row> rows = {
        {"one frame", {}, SIZE_MAX, {}, "ok"},
        {"a cut in every header and in every data",
         {3, 20, 2000, 5030, 5040, 6000, n - 1},
         SIZE_MAX,
         {},
         "ok"},
        {"an entry across three frames, an empty frame among them",
         {100, 1000, 1000, 4000},
         SIZE_MAX,
         {},
         "ok"},
        {"the last frame holds more after the terminator", {4000}, SIZE_MAX, {9, 9}, "ok"},
        {"a byte of a name changed", {4000}, 2, {}, "header differs"},
        {"a byte of a size changed", {4000}, 18, {}, "header differs"},
        {"a terminator that is not zero", {4000}, n - 1, {}, "header differs"},
        {"a byte of data changed passes: the checksum catches it", {4000}, 3000, {}, "ok"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        bytes stream = l.stream;
        if (r.flip != SIZE_MAX) stream[r.flip] ^= 1;
        stream.insert(stream.end(), r.tail.begin(), r.tail.end());
        for (const std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
            std::vector<bytes> rebuilt;
            EXPECT_EQ(walk_all(l, stream, r.cuts, step, rebuilt), r.outcome);
            if (std::string(r.outcome) == "ok" && r.flip == SIZE_MAX) {
                for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(rebuilt[i], files[i].data);
            }
        }
    }
    // A frame the table gives less than it decodes to, and one that ends early.
    frame_walk::walk w;
    frame_walk::begin(w, l.map, 0, 10);
    EXPECT_EQ(frame_walk::feed(w, l.stream.data(), 11, [](auto...) { return true; }),
              frame_walk::fed::past_end);
    frame_walk::begin(w, l.map, 0, 10);
    frame_walk::feed(w, l.stream.data(), 9, [](auto...) { return true; });
    EXPECT_FALSE(frame_walk::ended_right(w));
}

}  // namespace
