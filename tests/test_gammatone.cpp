#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "extractor/gammatone_filterbank.hpp"

using Filterbank = tavik::extractor::GammatoneFilterbank<double>;
using Vec = std::vector<double>;

namespace {

double identity(double x) { return x; }

// Relative comparison to the digits a worked example gives.
#define EXPECT_CLOSE(actual, expected, rel) \
    EXPECT_NEAR((actual), (expected), std::fabs(expected) * (rel))

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

void expect_same_bits(const Vec& actual, const Vec& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_TRUE(same_bits(actual[i], expected[i]))
            << "feature " << i << ": " << actual[i] << " vs " << expected[i];
    }
}

// The feature computation transcribed literally: a buffer of integrator
// values, summed afterwards.
Vec reference_features(const Filterbank& fb, const Vec& input) {
    Vec features(fb.num_features);
    const std::size_t N = input.size();
    for (std::size_t i = 0; i < fb.num_features; ++i) {
        const auto& F = fb.filters[i];
        if (N == 0) {
            features[i] = ((1.0 - fb.decay) * 0.0) / 0.0;
            continue;
        }
        Vec buffer(N, 0.0);
        double c = 1.0, s = 0.0, pr1 = 0, pr2 = 0, pr3 = 0, pr4 = 0, pi1 = 0, pi2 = 0, pi3 = 0,
               pi4 = 0, acc = 0.0;
        for (std::size_t n = 0; n < N; ++n) {
            const double x = input[n];
            double pr = x * c + F.a[0] * pr1 + F.a[1] * pr2 + F.a[2] * pr3 + F.a[3] * pr4;
            double pi = x * s + F.a[0] * pi1 + F.a[1] * pi2 + F.a[2] * pi3 + F.a[3] * pi4;
            if (std::fabs(pr) < 1.1754943508222875e-38) pr = 0.0;
            if (std::fabs(pi) < 1.1754943508222875e-38) pi = 0.0;
            const double yr = pr + F.a[0] * pr1 + F.a[4] * pr2;
            const double yi = pi + F.a[0] * pi1 + F.a[4] * pi2;
            const double m = std::sqrt(yr * yr + yi * yi);
            acc = F.gain * m + fb.decay * acc;
            buffer[n] = acc;
            pr4 = pr3; pr3 = pr2; pr2 = pr1; pr1 = pr;
            pi4 = pi3; pi3 = pi2; pi2 = pi1; pi1 = pi;
            const double c2 = F.coscf * c + F.sincf * s;
            const double s2 = F.coscf * s - F.sincf * c;
            c = c2;
            s = s2;
        }
        double sum = 0.0;
        for (std::size_t n = 0; n < N; ++n) sum = sum + buffer[n];
        features[i] = (sum * (1.0 - fb.decay)) / double(N);
    }
    return features;
}

Filterbank example_bank(std::size_t num_samples = 4) {
    return Filterbank(num_samples, 4, 16000, identity, -1, 100, 4000, 0.01);
}

Filterbank default_bank(std::size_t num_samples = 1024) {
    return Filterbank(num_samples, 64, 44100, identity, -1, 50, 8000, 0);
}

}  // namespace

TEST(GammatoneDesign, WorkedExample) {
    const Filterbank fb = example_bank();
    // The design arguments are kept exactly as given.
    EXPECT_EQ(fb.low_Hz, 100.0);
    EXPECT_EQ(fb.high_Hz, 4000.0);
    EXPECT_EQ(fb.temporal_integration, 0.01);
    EXPECT_CLOSE(fb.decay, 0.99376949, 1e-8);
    const double step = (Filterbank::erb_rate(4000) - Filterbank::erb_rate(100)) / 3;
    EXPECT_CLOSE(step, 7.9126158, 1e-7);
    ASSERT_EQ(fb.filters.size(), 4u);
    EXPECT_CLOSE(fb.filters[0].cf, 100, 1e-12);
    EXPECT_CLOSE(fb.filters[1].cf, 541.58028, 1e-8);
    EXPECT_CLOSE(fb.filters[2].cf, 1576.1460, 1e-7);
    EXPECT_CLOSE(fb.filters[3].cf, 4000, 1e-12);

    const auto& f = fb.filters[1];
    const double b = std::pow(3 * f.gain, 0.25);
    EXPECT_CLOSE(b, 0.033276389, 1e-7);
    EXPECT_CLOSE(f.gain, 4.0871776e-7, 1e-7);
    const double d = f.a[0] / 4;
    EXPECT_CLOSE(d, 0.96727118, 1e-8);
    const double a[] = {3.8690847, -5.6136812, 3.6199680, -0.87537269, 0.93561354};
    for (int k = 0; k < 5; ++k) EXPECT_CLOSE(f.a[k], a[k], 1e-7) << k;
    EXPECT_CLOSE(f.coscf, 0.97746914, 1e-8);
    EXPECT_CLOSE(f.sincf, 0.21107839, 1e-7);
}

TEST(GammatoneDesign, DefaultsFigures) {
    const Filterbank fb = default_bank();
    EXPECT_EQ(fb.decay, 0.0);
    ASSERT_EQ(fb.filters.size(), 64u);
    const double step = (Filterbank::erb_rate(8000) - Filterbank::erb_rate(50)) / 63;
    EXPECT_CLOSE(step, 0.49933135, 1e-7);
    EXPECT_CLOSE(fb.filters[1].cf, 65.390534, 1e-8);
    EXPECT_CLOSE(std::pow(3 * fb.filters[0].gain, 0.25), 0.0043695624, 1e-7);
    EXPECT_CLOSE(fb.filters[0].gain, 1.2151518e-10, 1e-7);
    EXPECT_NEAR(fb.filters.front().cf, 50, 1e-10);
    EXPECT_NEAR(fb.filters.back().cf, 8000, 1e-8);
    for (std::size_t i = 1; i < fb.filters.size(); ++i) {
        EXPECT_LT(fb.filters[i - 1].cf, fb.filters[i].cf);
    }
}

TEST(GammatoneDesign, CoefficientsFollowThePoleRadiusInTheWrittenOrder) {
    const Filterbank fb = default_bank();
    for (const auto& f : fb.filters) {
        const double tpt = 6.283185307179586 / 44100.0;
        const double b = ((0.00437 * f.cf + 1.0) * 24.7) * tpt * 1.019;
        const double d = std::exp(-b);
        EXPECT_TRUE(same_bits(f.gain, ((b * b) * b) * b / 3.0));
        EXPECT_TRUE(same_bits(f.a[1], (-6.0 * d) * d));
        EXPECT_TRUE(same_bits(f.a[3], (((-d) * d) * d) * d));
        EXPECT_TRUE(same_bits(f.coscf, std::cos(tpt * f.cf)));
        EXPECT_TRUE(same_bits(f.sincf, std::sin(tpt * f.cf)));
    }
}

TEST(GammatoneDesign, TwoFiltersSitOnTheBounds) {
    const Filterbank fb(16, 2, 16000, identity, -1, 300, 3000, 0);
    EXPECT_NEAR(fb.filters[0].cf, 300, 1e-9);
    EXPECT_NEAR(fb.filters[1].cf, 3000, 1e-9);
}

TEST(GammatoneDesign, ZeroFiltersWithAValidRangeBuildAnEmptyTable) {
    const Filterbank fb(16, 0, 16000, identity, -1, 50, 8000, 0);
    EXPECT_TRUE(fb.filters.empty());
    EXPECT_TRUE(fb(Vec(16, 1.0)).empty());
}

TEST(GammatoneDesign, RefusesRangesWithoutAFiniteRisingStep) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case { std::size_t count; double low, high; } cases[] = {
        {4, 100, 100}, {4, 8000, 50}, {0, 100, 100}, {1, 50, 8000}, {1, 100, 100},
        {4, nan, 8000}, {4, 50, nan}, {4, 50, inf}, {4, -inf, 8000},
        {4, -1 / 0.00437, 8000}, {4, -300, 8000},
    };
    for (const auto& c : cases) {
        try {
            Filterbank fb(16, c.count, 16000, identity, -1, c.low, c.high, 0);
            ADD_FAILURE() << c.count << " " << c.low << " " << c.high;
        } catch (const std::invalid_argument& err) {
            EXPECT_STREQ(err.what(), "Invalid frequency range");
        }
    }
}

TEST(GammatoneDesign, RefusesSampleRatesAndTimeConstantsThatMakeNoFilter) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (int rate : {0, -1, -44100}) {
        try {
            Filterbank fb(16, 4, rate, identity, -1, 50, 8000, 0);
            ADD_FAILURE() << rate;
        } catch (const std::invalid_argument& err) {
            EXPECT_STREQ(err.what(), "Invalid sample rate");
        }
    }
    for (double ti : {-0.01, nan, inf, -inf}) {
        try {
            Filterbank fb(16, 4, 16000, identity, -1, 50, 8000, ti);
            ADD_FAILURE() << ti;
        } catch (const std::invalid_argument& err) {
            EXPECT_STREQ(err.what(), "Invalid temporal integration");
        }
    }
}

TEST(GammatoneDesign, TableThatCannotBeHeldFailsBeforeTheRangeCheck) {
    for (const std::size_t count : {std::numeric_limits<std::size_t>::max(), std::size_t{1} << 62}) {
        try {
            Filterbank(16, count, 16000, identity, -1, 8000, 50, 0);
            ADD_FAILURE() << count << " filters were accepted";
        } catch (const std::length_error& err) {
            EXPECT_STREQ(err.what(), "cannot create std::vector larger than max_size()");
        }
    }
}

TEST(GammatoneFeatures, WorkedExampleTable) {
    const Filterbank fb = example_bank();
    const Vec impulse = fb(Vec{1, 0, 0, 0});
    const Vec alternating = fb(Vec{1, -1, 1, -1});
    const double expected_impulse[] = {2.9820686e-9, 8.6147600e-8, 2.3542763e-6, 5.6746781e-5};
    const double expected_alt[] = {2.2203028e-9, 6.4221150e-8, 1.8091480e-6, 5.6043519e-5};
    for (int i = 0; i < 4; ++i) {
        EXPECT_CLOSE(impulse[i], expected_impulse[i], 1e-7) << i;
        EXPECT_CLOSE(alternating[i], expected_alt[i], 1e-7) << i;
    }
    for (double v : fb(Vec{0, 0, 0, 0})) EXPECT_TRUE(same_bits(v, 0.0));
}

TEST(GammatoneFeatures, MatchTheLiteralLoopBitForBit) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> noise(0.0, 0.3);
    for (double ti : {0.0, 0.001, 0.05}) {
        for (std::size_t n : {1u, 2u, 17u, 1024u}) {
            const Filterbank fb(n, 64, 44100, identity, -1, 50, 8000, ti);
            Vec frame(n);
            for (double& x : frame) x = noise(rng);
            expect_same_bits(fb(frame), reference_features(fb, frame));
        }
    }
}

TEST(GammatoneFeatures, EmptyFrameGivesNaN) {
    const Filterbank fb(0, 3, 16000, identity, -1, 100, 4000, 0);
    const Vec f = fb(Vec{});
    ASSERT_EQ(f.size(), 3u);
    for (double v : f) EXPECT_TRUE(std::isnan(v));
}

TEST(GammatoneFeatures, OneSampleGivesGainTimesMagnitude) {
    const Filterbank fb = Filterbank(1, 8, 16000, identity, -1, 100, 4000, 0.01);
    for (double v : {1.1754943508222875e-38, -0.5, 3.0, 1e150}) {
        const Vec f = fb(Vec{v});
        for (std::size_t i = 0; i < 8; ++i) {
            EXPECT_TRUE(same_bits(f[i], (fb.filters[i].gain * std::fabs(v)) * (1.0 - fb.decay)))
                << v << " " << i;
        }
    }
}

TEST(GammatoneFeatures, ImpulseEnvelopeIsThePoleCascade) {
    // With decay 0 the integrator holds gain * m of the same sample, so
    // N * feature / gain is the sum of the envelope (n + 1)^3 d^n.
    const Filterbank fb(6, 4, 16000, identity, -1, 100, 4000, 0);
    const Vec f = fb(Vec{1, 0, 0, 0, 0, 0});
    for (std::size_t i = 0; i < 4; ++i) {
        const double d = std::sqrt(fb.filters[i].a[4]);
        double expected = 0;
        for (int n = 0; n < 6; ++n) expected += std::pow(n + 1, 3) * std::pow(d, n);
        EXPECT_CLOSE(f[i] * 6 / fb.filters[i].gain, expected, 1e-12) << i;
    }
}

TEST(GammatoneFeatures, NegatingTheFrameChangesNoBit) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> uniform(-1, 1);
    const Filterbank fb = default_bank();
    Vec frame(1024), negated(1024);
    for (std::size_t n = 0; n < frame.size(); ++n) negated[n] = -(frame[n] = uniform(rng));
    expect_same_bits(fb(frame), fb(negated));
}

TEST(GammatoneFeatures, TinySamplesAreFlushedToExactZero) {
    const Filterbank fb = default_bank(64);
    Vec frame(64);
    for (std::size_t n = 0; n < frame.size(); ++n) frame[n] = (n % 2 ? -9e-40 : 5e-324);
    for (double v : fb(frame)) EXPECT_TRUE(same_bits(v, 0.0));
}

TEST(GammatoneFeatures, OneNaNSpoilsEveryFeature) {
    const Filterbank fb = default_bank(32);
    Vec frame(32, 0.25);
    frame[20] = std::nan("");
    for (double v : fb(frame)) EXPECT_TRUE(std::isnan(v));
}

TEST(GammatoneFeatures, RepeatableAndLeavesExtraElementsAlone) {
    const Filterbank fb = example_bank();
    const Vec frame{0.5, -0.25, 1, 0};
    expect_same_bits(fb(frame), fb(frame));
    Vec features(6, 42.0);
    fb(frame, features);
    expect_same_bits(Vec(features.begin(), features.begin() + 4), fb(frame));
    EXPECT_EQ(features[4], 42.0);
    EXPECT_EQ(features[5], 42.0);
}

TEST(GammatoneFeatures, ShortFeatureVectorIsRefusedUntouched) {
    const Filterbank fb = example_bank();
    Vec features(3, 42.0);
    EXPECT_THROW(fb(Vec{1, 0, 0, 0}, features), std::invalid_argument);
    EXPECT_EQ(features, Vec(3, 42.0));
}
