#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extractor/continuous_gammatone.hpp"

using tavik::extractor::ContinuousBlock;
using tavik::extractor::ContinuousGammatone;
using tavik::extractor::LockstepFilters;
using tavik::extractor::ContinuousState;
using tavik::extractor::KernelVariant;
using tavik::extractor::StridedSignal;
using Filterbank = tavik::extractor::GammatoneFilterbank<double>;
using Vec = std::vector<double>;

namespace tavik::extractor::testing {
void continuous_block_eight_lanes_x2(const LockstepFilters&, const ContinuousBlock&);
void continuous_block_eight_lanes_x3(const LockstepFilters&, const ContinuousBlock&);
void continuous_block_four_lanes_x2(const LockstepFilters&, const ContinuousBlock&);
}

namespace {

using BlockKernel = void (*)(const LockstepFilters&, const ContinuousBlock&);

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// The continuous pass as its definition reads, one filter and one frame at
// a time over a mono signal: each filter from its initial state at sample 0,
// the integrator value after every sample kept, each frame's sum formed from
// 0.0 in sample order.
std::vector<Vec> reference(const Filterbank& fb, const Vec& x, std::size_t hop) {
    const std::size_t n = fb.num_samples;
    std::vector<Vec> rows;
    for (std::size_t start = 0; start + n <= x.size(); start += hop) rows.emplace_back(fb.num_features);
    for (std::size_t i = 0; i < fb.num_features; ++i) {
        const Filterbank::Filter& f = fb.filters[i];
        const double a0 = f.a[0], a1 = f.a[1], a2 = f.a[2], a3 = f.a[3], a4 = f.a[4];
        double c = 1.0, s = 0.0, pr1 = 0, pr2 = 0, pr3 = 0, pr4 = 0, pi1 = 0, pi2 = 0, pi3 = 0,
               pi4 = 0, acc = 0.0;
        Vec env(x.size());
        for (std::size_t k = 0; k < x.size(); ++k) {
            double pr = x[k] * c + a0 * pr1 + a1 * pr2 + a2 * pr3 + a3 * pr4;
            double pi = x[k] * s + a0 * pi1 + a1 * pi2 + a2 * pi3 + a3 * pi4;
            if (std::fabs(pr) < 1.1754943508222875e-38) pr = 0.0;
            if (std::fabs(pi) < 1.1754943508222875e-38) pi = 0.0;
            const double yr = pr + a0 * pr1 + a4 * pr2;
            const double yi = pi + a0 * pi1 + a4 * pi2;
            acc = f.gain * std::sqrt(yr * yr + yi * yi) + fb.decay * acc;
            env[k] = acc;
            pr4 = pr3; pr3 = pr2; pr2 = pr1; pr1 = pr;
            pi4 = pi3; pi3 = pi2; pi2 = pi1; pi1 = pi;
            const double c_next = f.coscf * c + f.sincf * s;
            s = f.coscf * s - f.sincf * c;
            c = c_next;
        }
        for (std::size_t j = 0; j < rows.size(); ++j) {
            double sum = 0.0;
            for (std::size_t k = j * hop; k < j * hop + n; ++k) sum = sum + env[k];
            rows[j][i] = (sum * (1.0 - fb.decay)) / static_cast<double>(n);
        }
    }
    return rows;
}

// Pushes `x` (samples x channels, sample-major) in chunks of the given
// sizes (cycled) and returns every row the pushes produce.
// A kernel variant, or (kernel != nullptr) a grouping of the wider
// variants compiled for any CPU.
std::vector<Vec> push_in_chunks(const ContinuousGammatone& pass, const Vec& x,
                                std::size_t channels, const std::vector<std::size_t>& chunks,
                                unsigned threads, KernelVariant variant,
                                BlockKernel kernel = nullptr) {
    ContinuousState state = pass.initial_state();
    const std::size_t length = x.size() / channels;
    const std::size_t features = pass.filterbank.num_features;
    std::vector<Vec> rows;
    for (std::size_t at = 0, c = 0; at < length; ++c) {
        const std::size_t n = std::min(chunks[c % chunks.size()], length - at);
        const StridedSignal<double> signal(
            pass.filterbank, reinterpret_cast<const unsigned char*>(x.data() + at * channels),
            channels, channels * sizeof(double), sizeof(double));
        Vec out(pass.frames_completed_by(state, n) * features);
        EXPECT_TRUE(kernel ? pass.push_with(state, n, signal, out.data(), threads, {}, kernel)
                           : pass.push(state, n, signal, out.data(), threads, {}, variant));
        for (std::size_t r = 0; r * features < out.size(); ++r) {
            rows.emplace_back(out.begin() + r * features, out.begin() + (r + 1) * features);
        }
        at += n;
    }
    EXPECT_EQ(rows.size(), pass.frames_within(length));
    return rows;
}

void expect_same_rows(const std::vector<Vec>& actual, const std::vector<Vec>& expected,
                      const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t j = 0; j < actual.size(); ++j) {
        for (std::size_t i = 0; i < actual[j].size(); ++i) {
            ASSERT_TRUE(same_bits(actual[j][i], expected[j][i]))
                << what << ": frame " << j << ", feature " << i << " is " << actual[j][i]
                << ", the definition gives " << expected[j][i];
        }
    }
}

Vec noise(std::size_t n, std::mt19937_64& rng, double amplitude = 0.3) {
    std::normal_distribution<double> dist(0.0, amplitude);
    Vec x(n);
    for (double& v : x) v = dist(rng);
    return x;
}

struct Framing { std::size_t num_samples, hop; };

struct ContinuousKernel {
    const char* name;
    KernelVariant variant;
    BlockKernel grouping;  // the wider variants' groupings, on any CPU
};

class ContinuousVariant : public ::testing::TestWithParam<ContinuousKernel> {};

// Overlapping, touching and gapped frames, up to several frames open at once,
// filter counts around every group size, with and without the integrator's
// decay, in chunks that split frames and blocks anywhere, on one thread and
// several.
TEST_P(ContinuousVariant, FollowsTheDefinitionBitForBitWhateverTheChunks) {
    const ContinuousKernel kernel = GetParam();
    if (!tavik::extractor::kernel_variant_supported(kernel.variant)) GTEST_SKIP();
    std::mt19937_64 rng(7);
    const Framing framings[] = {{400, 160}, {64, 64}, {50, 70}, {1, 1}, {33, 7}, {400, 100}};
    const std::vector<std::vector<std::size_t>> chunkings = {{100000}, {1}, {513, 7, 1024}, {97}};
    for (std::size_t count : {2u, 9u, 24u, 65u}) {
        for (double ti : {0.0, 0.004}) {
            for (const Framing& fr : framings) {
                const Filterbank fb(fr.num_samples, count, 16000, nullptr, -1, 60, 7000, ti);
                const ContinuousGammatone pass(fb, fr.hop);
                Vec x = noise(2600, rng);
                x[1500] = 1e-39;  // around the flush threshold
                const auto expected = reference(fb, x, fr.hop);
                for (const auto& chunks : chunkings) {
                    for (unsigned threads : {1u, 3u}) {
                        expect_same_rows(
                            push_in_chunks(pass, x, 1, chunks, threads, kernel.variant,
                                           kernel.grouping),
                            expected,
                            std::to_string(count) + " filters, frames of " +
                                std::to_string(fr.num_samples) + " every " +
                                std::to_string(fr.hop) + ", chunk " + std::to_string(chunks[0]) +
                                ", " + std::to_string(threads) + " threads");
                    }
                }
            }
        }
    }
}

namespace wide = tavik::extractor::testing;
INSTANTIATE_TEST_SUITE_P(
    Continuous, ContinuousVariant,
    ::testing::Values(ContinuousKernel{"scalar", KernelVariant::scalar, nullptr},
                      ContinuousKernel{"baseline", KernelVariant::baseline, nullptr},
                      ContinuousKernel{"avx2_x1", KernelVariant::avx2_x1, nullptr},
                      ContinuousKernel{"avx2_x2", KernelVariant::avx2_x2, nullptr},
                      ContinuousKernel{"avx512_x2", KernelVariant::avx512_x2, nullptr},
                      ContinuousKernel{"avx512_x3", KernelVariant::avx512_x3, nullptr},
                      ContinuousKernel{"eight_lanes_x2", KernelVariant::scalar,
                                       &wide::continuous_block_eight_lanes_x2},
                      ContinuousKernel{"eight_lanes_x3", KernelVariant::scalar,
                                       &wide::continuous_block_eight_lanes_x3},
                      ContinuousKernel{"four_lanes_x2", KernelVariant::scalar,
                                       &wide::continuous_block_four_lanes_x2}),
    [](const ::testing::TestParamInfo<ContinuousKernel>& info) {
        return std::string(info.param.name);
    });

TEST(Continuous, OneFrameGivesTheFrameBits) {
    std::mt19937_64 rng(3);
    const Filterbank fb(300, 64, 16000, [](double v) { return std::log10(v); }, -1, 50, 8000,
                        0.01);
    const Vec x = noise(300, rng);
    const auto rows = push_in_chunks(ContinuousGammatone(fb, 160), x, 1, {77}, 2,
                                     tavik::extractor::best_kernel_variant());
    expect_same_rows(rows, {fb(x)}, "one frame");
}

// Several channels: their mean per sample, summed from channel 0 in order
// and divided by the count, or the chosen channel.
TEST(Continuous, ChannelsAreReducedPerSampleAsAFrameIs) {
    std::mt19937_64 rng(4);
    const std::size_t channels = 3, length = 900;
    const Vec x = noise(length * channels, rng);
    for (int on_channel : {-1, 0, 2}) {
        const Filterbank fb(200, 16, 22050, nullptr, on_channel, 50, 8000, 0);
        Vec mono(length);
        for (std::size_t i = 0; i < length; ++i) {
            if (on_channel >= 0) {
                mono[i] = x[i * channels + on_channel];
            } else {
                mono[i] = ((x[i * channels] + x[i * channels + 1]) + x[i * channels + 2]) / 3.0;
            }
        }
        expect_same_rows(push_in_chunks(ContinuousGammatone(fb, 80), x, channels, {131}, 2,
                                        tavik::extractor::best_kernel_variant()),
                         reference(fb, mono, 80), "on_channel " + std::to_string(on_channel));
    }
    const Filterbank fb(200, 16, 22050, nullptr, 3, 50, 8000, 0);
    const auto* data = reinterpret_cast<const unsigned char*>(x.data());
    EXPECT_THROW(StridedSignal<double>(fb, data, channels, 24, 8), std::out_of_range);
    EXPECT_THROW(StridedSignal<double>(fb, data, 0, 24, 8), std::invalid_argument);
}

TEST(Continuous, AFailedOrStoppedPushLeavesTheStateUnchanged) {
    std::mt19937_64 rng(5);
    const Filterbank throwing(100, 8, 16000, [](double v) -> double {
        if (v > 0) throw std::domain_error("refused");
        return v;
    }, -1, 50, 4000, 0);
    const Vec x = noise(5000, rng);
    const StridedSignal<double> signal(throwing, reinterpret_cast<const unsigned char*>(x.data()),
                                       1, 8, 8);
    const ContinuousGammatone pass(throwing, 50);
    ContinuousState state = pass.initial_state();
    const ContinuousState before = state;
    Vec out(pass.frames_completed_by(state, x.size()) * 8);
    EXPECT_THROW(pass.push(state, x.size(), signal, out.data(), 2), std::domain_error);
    EXPECT_EQ(state.values, before.values);
    EXPECT_EQ(state.samples_pushed, 0u);
    int asked = 0;
    EXPECT_FALSE(pass.push(state, x.size(), signal, out.data(), 2, [&] { return ++asked > 0; }));
    EXPECT_EQ(state.values, before.values);
    EXPECT_EQ(state.samples_pushed, 0u);
    EXPECT_THROW(ContinuousGammatone(throwing, 0), std::invalid_argument);
}

}  // namespace
