#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>

#include <gtest/gtest.h>

#include "extractor/frame_batch.hpp"

using tavik::extractor::Extractor;
using tavik::extractor::extract_batch;
using Vec = std::vector<double>;

namespace {

// Feature j of a frame is frame[0] * (j + 1); frames whose first sample is
// negative fail with a message naming that sample.
class Scaling : public Extractor<double> {
public:
    using Extractor<double>::compute;
    Scaling(std::size_t num_samples, std::size_t num_features)
        : Extractor<double>(num_samples, num_features, 1, [](double x) { return x + 0.5; }, -1) {}
    mutable std::atomic<int> calls{0};

    void compute(const Frame& input, Features& features) const override {
        ++calls;
        if (input[0] < 0) throw std::runtime_error("frame " + std::to_string(-input[0]));
        for (std::size_t j = 0; j < features.size(); ++j) features[j] = input[0] * double(j + 1);
    }
};

Vec frames_of(std::size_t count, std::size_t width) {
    Vec data(count * width);
    for (std::size_t i = 0; i < count; ++i) data[i * width] = double(i);
    return data;
}

}  // namespace

TEST(FrameBatch, EveryThreadCountGivesThePerFrameResults) {
    const Scaling e(3, 2);
    const Vec data = frames_of(50, 3);
    for (unsigned threads : {0u, 1u, 2u, 7u, 100u}) {
        Vec out(50 * 2, -1.0);
        extract_batch(e, reinterpret_cast<const unsigned char*>(data.data()), 50,
                      3 * sizeof(double), out.data(), threads);
        for (std::size_t i = 0; i < 50; ++i) {
            const Vec expected = e(Vec(data.begin() + i * 3, data.begin() + i * 3 + 3));
            EXPECT_EQ(Vec(out.begin() + i * 2, out.begin() + i * 2 + 2), expected) << i;
        }
    }
}

TEST(FrameBatch, OverlappingAndReversedRows) {
    const Scaling e(4, 1);
    const Vec signal = {0, 1, 2, 3, 4, 5, 6, 7};
    Vec out(3);
    // Rows start at 6, 4, 2: a negative stride walks the windows backwards.
    extract_batch(e, reinterpret_cast<const unsigned char*>(signal.data() + 4), 3,
                  -2 * std::ptrdiff_t(sizeof(double)), out.data(), 2);
    // Windows of four from sample 4, 2, 0, each transformed by +0.5.
    EXPECT_EQ(out, (Vec{4.5, 2.5, 0.5}));
}

TEST(FrameBatch, LowestFailingFrameWinsAndNoFrameIsClaimedAfterIt) {
    Vec data = frames_of(200, 1);
    data[150] = -150;
    data[40] = -40;
    data[41] = -41;
    for (unsigned threads : {1u, 2u, 8u}) {
        const Scaling e(1, 1);
        Vec out(200);
        try {
            extract_batch(e, reinterpret_cast<const unsigned char*>(data.data()), 200,
                          sizeof(double), out.data(), threads);
            FAIL() << "no exception";
        } catch (const std::runtime_error& err) {
            EXPECT_STREQ(err.what(), "frame 40.000000") << threads;
        }
        EXPECT_LT(e.calls.load(), 200) << threads;
    }
}

TEST(FrameBatch, NoFramesDoNothing) {
    const Scaling e(3, 2);
    extract_batch<double>(e, nullptr, 0, 0, nullptr, 0);
    EXPECT_EQ(e.calls.load(), 0);
}

namespace {

// Each frame takes about a millisecond and records the thread it ran on;
// a frame whose first sample is negative runs a nested batch of `inner`
// frames first, from inside its compute.
class Sleeping : public Extractor<double> {
public:
    using Extractor<double>::compute;
    explicit Sleeping(std::size_t inner = 0)
        : Extractor<double>(1, 1, 1, [](double x) { return x; }, -1), inner(inner) {}
    const std::size_t inner;
    mutable std::mutex mutex;
    mutable std::set<std::thread::id> threads, nested_threads;
    mutable std::atomic<int> calls{0};

    void compute(const Frame& input, Features& features) const override {
        ++calls;
        {
            std::lock_guard<std::mutex> lock(mutex);
            (input[0] < 0 ? nested_threads : threads).insert(std::this_thread::get_id());
        }
        if (input[0] < 0) {
            features[0] = 0;
            return;
        }
        if (inner > 0 && input[0] == 0) {
            const Vec nested(inner, -1.0);
            Vec out(inner);
            const Sleeping& self = *this;
            extract_batch(self, reinterpret_cast<const unsigned char*>(nested.data()), inner,
                          sizeof(double), out.data(), 8);
            std::lock_guard<std::mutex> lock(mutex);
            EXPECT_EQ(nested_threads, std::set<std::thread::id>{std::this_thread::get_id()});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        features[0] = input[0];
    }
};

// Runs `body` on a thread whose affinity mask is the first core of this
// process's mask alone; the process's own mask is left as it was.
template <typename Body>
void on_one_core(Body body) {
    std::thread([&] {
        cpu_set_t set;
        ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
        int first = 0;
        while (!CPU_ISSET(first, &set)) ++first;
        CPU_ZERO(&set);
        CPU_SET(first, &set);
        ASSERT_EQ(sched_setaffinity(0, sizeof set, &set), 0);
        body();
    }).join();
}

}  // namespace

TEST(FrameBatch, CoresAreTheAffinityMaskAndThreadsAreCappedAtFourPerCore) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(tavik::extractor::available_cores(), static_cast<unsigned>(CPU_COUNT(&set)));
    on_one_core([] {
        EXPECT_EQ(tavik::extractor::available_cores(), 1u);
        EXPECT_EQ(tavik::extractor::max_batch_threads(), 4u);
        // 100 threads asked for, 4 run: the batch's own thread and 3 helpers.
        const Sleeping e;
        const Vec data = frames_of(200, 1);
        Vec out(200);
        extract_batch(e, reinterpret_cast<const unsigned char*>(data.data()), 200, sizeof(double),
                      out.data(), 100);
        EXPECT_EQ(e.threads.size(), 4u);
        EXPECT_EQ(out, data);
    });
}

TEST(FrameBatch, SinglePrecisionRowsAreConvertedExactly) {
    const Scaling e(3, 2);
    const std::vector<float> singles = {0.1f, 7.0f, 7.0f, 2.5f, 7.0f, 7.0f};
    Vec out(4);
    tavik::extractor::extract_batch<double, float>(
        e, reinterpret_cast<const unsigned char*>(singles.data()), 2, 3 * sizeof(float), out.data(), 2);
    EXPECT_EQ(out, (Vec{double(0.1f) + 0.5, double(0.1f) * 2 + 0.5, 3.0, 5.5}));
}

TEST(FrameBatch, ChannelFramesGoThroughTheMatrixReduction) {
    // Two frames of two channels and three samples, interleaved by sample and
    // overlapping: element (r, c) of frame i at (i * 2 + c * 2 + r) doubles.
    const Vec interleaved = {1, 3, 5, 7, 9, 11, 13, 15};
    const Scaling e(3, 1);  // the mean of the channels, then sample 0
    Vec out(2);
    tavik::extractor::extract_batch_channels<double>(
        e, reinterpret_cast<const unsigned char*>(interleaved.data()), 2, 2, 2 * sizeof(double),
        sizeof(double), 2 * sizeof(double), out.data(), 2);
    EXPECT_EQ(out, (Vec{(1.0 + 3.0) / 2 + 0.5, (5.0 + 7.0) / 2 + 0.5}));
}

TEST(FrameBatch, RawFeaturesTransformedAfterwardsGiveTheSameRows) {
    // Untransformed rows, of frames and of channel frames, then the transform
    // applied row by row: what the transformed batch gives.
    const Scaling e(3, 2);
    const Vec data = frames_of(20, 3);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    Vec transformed(40), raw(40), raw_channels(40);
    extract_batch(e, bytes, 20, 3 * sizeof(double), transformed.data(), 2);
    extract_batch(e, bytes, 20, 3 * sizeof(double), raw.data(), 2, {}, false);
    tavik::extractor::extract_batch_channels<double>(e, bytes, 20, 1, 3 * sizeof(double), 0,
                                                     sizeof(double), raw_channels.data(), 2, {},
                                                     false);
    EXPECT_EQ(raw, raw_channels);
    EXPECT_NE(raw, transformed);
    for (std::size_t i = 0; i < 20; ++i) e.apply_transform(raw.data() + i * 2, 2);
    EXPECT_EQ(raw, transformed);
}

TEST(FrameBatch, OnlyABatchOnSeveralThreadsKeepsTheCoresFromItsFrames) {
    // A batch on one thread (as a Python compute runs) leaves the cores to
    // the batches its frames start; one on several threads keeps them.
    class Nesting : public Extractor<double> {
    public:
        using Extractor<double>::compute;
        Nesting() : Extractor<double>(1, 1, 1, [](double x) { return x; }, -1) {}
        mutable std::atomic<unsigned> deepest{0};
        void compute(const Frame& input, Features& features) const override {
            deepest = std::max(deepest.load(), tavik::extractor::batch_nesting);
            features[0] = input[0];
        }
    };
    const Vec data = frames_of(64, 1);
    Vec out(data.size());
    for (const unsigned threads : {1u, 2u}) {
        const Nesting e;
        extract_batch(e, reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                      sizeof(double), out.data(), threads);
        EXPECT_EQ(e.deepest.load() > 0, threads > 1) << threads << " threads";
        EXPECT_EQ(out, data);
    }
    EXPECT_EQ(tavik::extractor::batch_nesting, 0u);
}

TEST(FrameBatch, StopCheckEndsTheBatchAndNestedBatchesStayOnTheirThread) {
    // 2,000 frames of a millisecond on 2 threads: about a second of work, so
    // the check comes due (every 20 ms) long before the end, and its answer
    // stops the batch with most frames never claimed.
    const Sleeping e(/*inner=*/16);
    const Vec data = frames_of(2'000, 1);
    Vec out(data.size(), -1.0);
    int asked = 0;
    const bool completed = extract_batch(
        e, reinterpret_cast<const unsigned char*>(data.data()), data.size(), sizeof(double),
        out.data(), 2, [&] { return ++asked >= 2; });
    EXPECT_FALSE(completed);
    EXPECT_EQ(asked, 2);
    EXPECT_LT(e.calls.load(), 1'000);
    EXPECT_EQ(out.back(), -1.0);
    EXPECT_EQ(out[0], 0.0);  // frame 0 ran its nested batch, then finished
    EXPECT_EQ(e.threads.size(), 2u);
    // The nested batch of frame 0 asked for 8 threads and ran on the thread
    // of frame 0 alone (checked inside), and nesting is counted back to 0.
    EXPECT_EQ(e.nested_threads.size(), 1u);
    EXPECT_EQ(tavik::extractor::batch_nesting, 0u);
}

namespace {

// Frames take a millisecond on the calling thread; any other thread that
// takes a frame is ended there (pthread_exit), as an exiting interpreter
// ends a thread that wants its lock.
class EndingHelpers : public Extractor<double> {
public:
    using Extractor<double>::compute;
    explicit EndingHelpers(std::thread::id caller)
        : Extractor<double>(1, 1, 1, [](double x) { return x; }, -1), caller(caller) {}
    const std::thread::id caller;

    void compute(const Frame& input, Features& features) const override {
        if (std::this_thread::get_id() != caller) pthread_exit(nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        features[0] = input[0];
    }
};

}  // namespace

TEST(FrameBatch, AHelperEndedInItsFrameFailsTheBatch) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan reports the clause that lets a forced unwind pass (catch of
    // abi::__forced_unwind&, whose exception object is null) as a reference
    // bound to null: a report about how the unwinding is implemented.
    GTEST_SKIP() << "forced unwinding under the sanitizers";
#endif
    const EndingHelpers e(std::this_thread::get_id());
    const Vec data = frames_of(200, 1);
    Vec out(200);
    try {
        extract_batch(e, reinterpret_cast<const unsigned char*>(data.data()), 200, sizeof(double),
                      out.data(), 2);
        FAIL() << "a batch with a frame never done succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "A batch thread was ended before its frame was done");
    }
}
