#include <cmath>
#include <functional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "extractor/extractor.hpp"

using tavik::extractor::Extractor;
using Vec = std::vector<double>;

namespace {

// Writes 1, 2, 3, ... and counts its calls; remembers the frame it saw.
class CountingExtractor : public Extractor<double> {
public:
    using Extractor<double>::Extractor;
    using Extractor<double>::compute;
    mutable int calls = 0;
    mutable Vec last_input;

    void compute(const Frame& input, Features& features) const override {
        ++calls;
        last_input = input;
        for (std::size_t i = 0; i < features.size(); ++i) features[i] = double(i + 1);
    }
};

double identity(double x) { return x; }

}  // namespace

TEST(Extractor, WrongLengthReportsBothLengthsAndSkipsCompute) {
    CountingExtractor e(1024, 4, 44100, identity, -1);
    try {
        e(Vec(1000, 0.0));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& err) {
        EXPECT_STREQ(err.what(), "Input signal must be of length 1024. Instead it is of length 1000.");
    }
    EXPECT_EQ(e.calls, 0);
}

TEST(Extractor, ZeroLengthsAreAccepted) {
    CountingExtractor e(0, 0, 0, nullptr, -1);
    EXPECT_TRUE(e(Vec{}).empty());  // an empty transform is never reached
    EXPECT_EQ(e.calls, 1);
}

TEST(Extractor, TransformSeesEveryRawFeatureOnceInOrder) {
    auto seen = std::make_shared<Vec>();
    CountingExtractor e(3, 5, 44100,
                        [seen](double x) { seen->push_back(x); return 2 * x; }, -1);
    EXPECT_EQ(e(Vec{1, 2, 3}), (Vec{2, 4, 6, 8, 10}));
    EXPECT_EQ(*seen, (Vec{1, 2, 3, 4, 5}));
    // The allocating form gives raw features and never calls the transform.
    EXPECT_EQ(e.compute(Vec{1, 2, 3}), (Vec{1, 2, 3, 4, 5}));
    EXPECT_EQ(seen->size(), 5u);
}

TEST(Extractor, StatefulTransformRestartsFromStoredStateEveryCall) {
    int counter = 0;  // captured by value: each call copies the stored state
    CountingExtractor e(1, 3, 1, [counter](double x) mutable { return x + counter++; }, -1);
    EXPECT_EQ(e(Vec{0}), (Vec{1, 3, 5}));
    EXPECT_EQ(e(Vec{0}), (Vec{1, 3, 5}));
}

TEST(Extractor, InPlaceFormUsesCallersVectorWithoutLengthCheck) {
    CountingExtractor e(1024, 2, 1, [](double x) { return -x; }, -1);
    Vec features(3, 9.0);
    e(Vec{1.0}, features);
    EXPECT_EQ(features, (Vec{-1, -2, -3}));
    EXPECT_EQ(e.last_input, Vec{1.0});
}

TEST(Extractor, EmptyTransformFailsOnlyWhenThereAreFeatures) {
    CountingExtractor e(2, 2, 1, nullptr, -1);
    EXPECT_THROW(e(Vec{1, 2}), std::bad_function_call);
    Eigen::MatrixXd m = Eigen::MatrixXd::Zero(1, 2);
    EXPECT_THROW(e(m), std::bad_function_call);
    EXPECT_EQ(e.compute(Vec{1, 2}), (Vec{1, 2}));
}

class ReducerTest : public ::testing::Test {
protected:
    static Vec reduce(int on_channel, const Extractor<double>::MatrixView& m) {
        return Extractor<double>::matrix_to_vector_factory(on_channel)(m);
    }
};

TEST_F(ReducerTest, MeanOfRowsAndSingleRow) {
    Eigen::MatrixXd m(2, 3);
    m << 1, 2, 3,
         4, 6, -3;
    EXPECT_EQ(reduce(-1, m), (Vec{2.5, 4, 0}));
    EXPECT_EQ(reduce(-5, m), (Vec{2.5, 4, 0}));
    EXPECT_EQ(reduce(1, m), (Vec{4, 6, -3}));
    EXPECT_EQ(reduce(0, m), (Vec{1, 2, 3}));
}

TEST_F(ReducerTest, MeanAddsRowsInIndexOrder) {
    Eigen::MatrixXd m(4, 1);
    m << 1e16, 1.0, -1e16, 1.0;
    // ((1e16 + 1) - 1e16) + 1 = 1 in doubles; a pairwise sum would give 2.
    EXPECT_EQ(reduce(-1, m), Vec{1.0 / 4});
}

TEST_F(ReducerTest, OneRowMeanIsTheRowBitForBit) {
    Eigen::MatrixXd m(1, 3);
    m << -0.0, 1e-310, -7.25;
    const Vec mean = reduce(-1, m), row = reduce(0, m);
    ASSERT_EQ(mean.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::signbit(mean[i]), std::signbit(row[i]));
        EXPECT_EQ(mean[i], row[i]);
    }
}

TEST_F(ReducerTest, EmptyMatrices) {
    // The mean of no channels is refused rather than a frame of NaN; a
    // chosen channel of no channels gets the same error.
    Eigen::MatrixXd no_rows(0, 3);
    for (int channel : {-1, 0, 3}) {
        try {
            reduce(channel, no_rows);
            FAIL() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Input signal has no channels");
        }
    }
    EXPECT_TRUE(reduce(-1, Eigen::MatrixXd(2, 0)).empty());
}

TEST_F(ReducerTest, InterleavedViewWithOuterStride) {
    // Three channels interleaved in one buffer; view only the first two.
    const double buffer[] = {1, 10, 100, 2, 20, 200, 3, 30, 300};
    Eigen::Map<const Eigen::MatrixXd, 0, Eigen::OuterStride<>> view(buffer, 2, 3,
                                                                    Eigen::OuterStride<>(3));
    EXPECT_EQ(reduce(1, view), (Vec{10, 20, 30}));
    EXPECT_EQ(reduce(-1, view), (Vec{5.5, 11, 16.5}));
}

TEST_F(ReducerTest, ChannelBeyondTheMatrixIsRefused) {
    Eigen::MatrixXd m = Eigen::MatrixXd::Zero(2, 4);
    try {
        reduce(2, m);
        FAIL() << "no exception";
    } catch (const std::out_of_range& err) {
        EXPECT_STREQ(err.what(), "Channel 2 is out of range for an input of 2 channels");
    }
}

TEST(Extractor, MatrixFormReducesThenChecksTheColumnCount) {
    CountingExtractor e(2, 1, 1, identity, 1);
    Eigen::MatrixXd m(2, 2);
    m << 1, 2,
         3, 4;
    e(m);
    EXPECT_EQ(e.last_input, (Vec{3, 4}));
    try {
        e(Eigen::MatrixXd::Zero(2, 5));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& err) {
        EXPECT_STREQ(err.what(), "Input signal must be of length 2. Instead it is of length 5.");
    }
}
