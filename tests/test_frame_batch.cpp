#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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
    EXPECT_GE(tavik::extractor::available_cores(), 1u);
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

TEST(FrameBatch, StopCheckEndsTheBatchAndNestedBatchesStayOnTheirThread) {
    const Scaling e(1, 1);
    const Vec data = frames_of(2'000'000, 1);
    Vec out(data.size(), -1.0);
    int asked = 0;
    const bool completed = extract_batch(
        e, reinterpret_cast<const unsigned char*>(data.data()), data.size(), sizeof(double),
        out.data(), 2, [&] { return ++asked >= 1; });
    // Asked only once the check interval has passed, and then obeyed.
    EXPECT_EQ(completed, asked == 0);
    EXPECT_EQ(tavik::extractor::batch_nesting, 0u);
    EXPECT_LE(2u, tavik::extractor::max_batch_threads());
}
