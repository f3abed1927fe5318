#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extractor/continuous_gammatone.hpp"
#include "extractor/gammatone_bands.hpp"

using tavik::extractor::BandOutput;
using tavik::extractor::ContinuousBlock;
using tavik::extractor::ContinuousGammatone;
using tavik::extractor::GammatoneBands;
using tavik::extractor::LockstepFilters;
using tavik::extractor::ContinuousState;
using tavik::extractor::KernelVariant;
using tavik::extractor::StridedSignal;
using tavik::extractor::continuous_block;
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

// One filter from its initial state at sample 0 through a mono signal, as
// its definition reads: visit(k, yr, yi, c, s) sees sample k's two-zero
// section output and the phasor that shifted the sample down.
template <typename Visit>
void walk(const Filterbank::Filter& f, const Vec& x, const Visit& visit) {
    const double a0 = f.a[0], a1 = f.a[1], a2 = f.a[2], a3 = f.a[3], a4 = f.a[4];
    double c = 1.0, s = 0.0, pr1 = 0, pr2 = 0, pr3 = 0, pr4 = 0, pi1 = 0, pi2 = 0, pi3 = 0,
           pi4 = 0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        double pr = x[k] * c + a0 * pr1 + a1 * pr2 + a2 * pr3 + a3 * pr4;
        double pi = x[k] * s + a0 * pi1 + a1 * pi2 + a2 * pi3 + a3 * pi4;
        if (std::fabs(pr) < 1.1754943508222875e-38) pr = 0.0;
        if (std::fabs(pi) < 1.1754943508222875e-38) pi = 0.0;
        const double yr = pr + a0 * pr1 + a4 * pr2;
        const double yi = pi + a0 * pi1 + a4 * pi2;
        visit(k, yr, yi, c, s);
        pr4 = pr3; pr3 = pr2; pr2 = pr1; pr1 = pr;
        pi4 = pi3; pi3 = pi2; pi2 = pi1; pi1 = pi;
        const double c_next = f.coscf * c + f.sincf * s;
        s = f.coscf * s - f.sincf * c;
        c = c_next;
    }
}

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
        double acc = 0.0;
        Vec env(x.size());
        walk(f, x, [&](std::size_t k, double yr, double yi, double, double) {
            acc = f.gain * std::sqrt(yr * yr + yi * yi) + fb.decay * acc;
            env[k] = acc;
        });
        for (std::size_t j = 0; j < rows.size(); ++j) {
            double sum = 0.0;
            for (std::size_t k = j * hop; k < j * hop + n; ++k) sum = sum + env[k];
            rows[j][i] = (sum * (1.0 - fb.decay)) / static_cast<double>(n);
        }
    }
    return rows;
}

// The band pass as its definition reads: row k holds sample k's values of
// every filter, two (real, imaginary) for the analytic signal.
std::vector<Vec> band_reference(const Filterbank& fb, const Vec& x, BandOutput output) {
    const std::size_t per = output == BandOutput::analytic ? 2 : 1;
    std::vector<Vec> rows(x.size(), Vec(per * fb.num_features));
    for (std::size_t i = 0; i < fb.num_features; ++i) {
        const Filterbank::Filter& f = fb.filters[i];
        walk(f, x, [&](std::size_t k, double yr, double yi, double c, double s) {
            if (output == BandOutput::envelope) {
                rows[k][i] = f.gain * std::sqrt(yr * yr + yi * yi);
            } else {
                const double re = yr * c + yi * s, im = yi * c - yr * s;
                rows[k][per * i] = f.gain * re;
                if (per == 2) rows[k][per * i + 1] = f.gain * im;
            }
        });
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

// The band pass's rows of `x` (samples x channels, sample-major) pushed in
// chunks of the given sizes (cycled), as push_in_chunks pushes.
std::vector<Vec> push_bands_in_chunks(const GammatoneBands& pass, const Vec& x,
                                      std::size_t channels,
                                      const std::vector<std::size_t>& chunks, unsigned threads,
                                      KernelVariant variant, BlockKernel kernel = nullptr) {
    ContinuousState state = pass.initial_state();
    const std::size_t length = x.size() / channels;
    const std::size_t row = pass.row_values();
    std::vector<Vec> rows;
    for (std::size_t at = 0, c = 0; at < length; ++c) {
        const std::size_t n = std::min(chunks[c % chunks.size()], length - at);
        const StridedSignal<double> signal(
            pass.filterbank, reinterpret_cast<const unsigned char*>(x.data() + at * channels),
            channels, channels * sizeof(double), sizeof(double));
        Vec out(n * row);
        EXPECT_TRUE(kernel ? pass.push_with(state, n, signal, out.data(), threads, {}, kernel)
                           : pass.push(state, n, signal, out.data(), threads, {}, variant));
        for (std::size_t r = 0; r < n; ++r) {
            rows.emplace_back(out.begin() + r * row, out.begin() + (r + 1) * row);
        }
        at += n;
    }
    EXPECT_EQ(state.samples_pushed, length);
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

// Every output, filter counts around every group size, with and without the
// integrator's decay (which the bands do not see), in chunks that split
// blocks anywhere, on up to three threads (9000 samples give the largest
// bank three). The envelope is also what the features integrate: fed
// through the integrator and averaged over frames, it gives the features.
TEST_P(ContinuousVariant, BandsFollowTheDefinitionBitForBitWhateverTheChunks) {
    const ContinuousKernel kernel = GetParam();
    if (!tavik::extractor::kernel_variant_supported(kernel.variant)) GTEST_SKIP();
    std::mt19937_64 rng(8);
    const std::vector<std::vector<std::size_t>> chunkings = {{100000}, {1}, {513, 7, 1024}};
    for (std::size_t count : {2u, 9u, 24u, 65u}) {
        for (double ti : {0.0, 0.004}) {
            const Filterbank fb(400, count, 16000, nullptr, -1, 60, 7000, ti);
            Vec x = noise(9000, rng);
            x[1500] = 1e-39;  // around the flush threshold
            for (BandOutput output :
                 {BandOutput::envelope, BandOutput::analytic, BandOutput::real}) {
                const GammatoneBands pass(fb, output);
                const auto expected = band_reference(fb, x, output);
                for (const auto& chunks : chunkings) {
                    for (unsigned threads : {1u, 2u, 3u}) {
                        if (chunks[0] == 1 && threads > 1) continue;  // one thread for a sample
                        expect_same_rows(
                            push_bands_in_chunks(pass, x, 1, chunks, threads, kernel.variant,
                                                 kernel.grouping),
                            expected,
                            std::to_string(count) + " filters, " +
                                tavik::extractor::band_output_name(output) + ", chunk " +
                                std::to_string(chunks[0]) + ", " + std::to_string(threads) +
                                " threads");
                    }
                }
                if (output != BandOutput::envelope) continue;
                const std::size_t hop = 160, frames = ContinuousGammatone(fb, hop).frames_within(x.size());
                std::vector<Vec> integrated(frames, Vec(count));
                for (std::size_t i = 0; i < count; ++i) {
                    double acc = 0.0;
                    Vec values(x.size());
                    for (std::size_t k = 0; k < x.size(); ++k) {
                        acc = expected[k][i] + fb.decay * acc;
                        values[k] = acc;
                    }
                    for (std::size_t j = 0; j < frames; ++j) {
                        double sum = 0.0;
                        for (std::size_t k = j * hop; k < j * hop + 400; ++k) sum = sum + values[k];
                        integrated[j][i] = (sum * (1.0 - fb.decay)) / 400.0;
                    }
                }
                expect_same_rows(reference(fb, x, hop), integrated, "the envelope integrated");
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

// A sample that is not finite or beyond 2^64, in a channel that enters the
// features, fails the push with its value, its position in the whole signal
// and (of several channels) its channel; the state stays as it was and takes
// the clean samples afterwards as if nothing had happened. 2^64 itself is
// taken, in one channel or in a mean.
TEST(Continuous, ANonFiniteOrTooLargeSampleIsRefusedWhereItIs) {
    std::mt19937_64 rng(6);
    const std::size_t length = 3000, first_push = 700;
    const double inf = std::numeric_limits<double>::infinity();
    const double bound = 0x1p64, above = std::nextafter(bound, inf);
    struct Case {
        std::size_t channels;
        int on_channel;
        std::size_t at, channel;
        double value;
        const char* message;  // nullptr: accepted
    };
    const Case cases[] = {
        {1, -1, 1999, 0, std::nan(""), "The signal holds a non-finite sample (nan) at sample 1999"},
        {1, 0, 700, 0, inf, "The signal holds a non-finite sample (inf) at sample 700"},
        {3, -1, 2047, 2, -inf, "The signal holds a non-finite sample (-inf) at sample 2047 of channel 2"},
        {3, 1, 1024, 1, std::nan(""), "The signal holds a non-finite sample (nan) at sample 1024 of channel 1"},
        {3, 1, 1500, 2, inf, nullptr},
        {1, -1, 1200, 0, 1e200, "The signal holds a sample too large to filter (1e+200) at sample 1200"},
        {1, 0, 900, 0, -above, "The signal holds a sample too large to filter (-1.8446744073709556e+19) at sample 900"},
        {1, -1, 900, 0, -bound, nullptr},
        // Finite channels whose sum would overflow, and a large one that a
        // mean would hide.
        {3, -1, 2500, 0, 1.7e308, "The signal holds a sample too large to filter (1.7e+308) at sample 2500 of channel 0"},
        {3, -1, 1800, 1, above, "The signal holds a sample too large to filter (1.8446744073709556e+19) at sample 1800 of channel 1"},
        {3, -1, 1800, 1, bound, nullptr},
        {3, 1, 1500, 2, 1e200, nullptr},
    };
    for (const Case& c : cases) {
        const Filterbank fb(200, 16, 16000, nullptr, c.on_channel, 50, 6000, 0);
        const ContinuousGammatone pass(fb, 80);
        Vec x = noise(length * c.channels, rng);
        const auto* data = reinterpret_cast<const unsigned char*>(x.data());
        const std::size_t row = c.channels * sizeof(double);
        // The clean run first, in the same two pushes.
        ContinuousState clean = pass.initial_state();
        Vec expected(pass.frames_within(length) * 16);
        ASSERT_TRUE(pass.push(clean, first_push, StridedSignal<double>(fb, data, c.channels, row, 8),
                              expected.data(), 2));
        const std::size_t done = pass.frames_within(first_push) * 16;
        ASSERT_TRUE(pass.push(clean, length - first_push,
                              StridedSignal<double>(fb, data + first_push * row, c.channels, row, 8),
                              expected.data() + done, 2));

        const std::size_t at = c.at * c.channels + c.channel;
        const std::size_t last = (length - 1) * c.channels + c.channel;
        const double original[2] = {x[at], x[last]};
        x[at] = c.value;
        // A second non-finite sample later on: only the first is named.
        x[last] = std::nan("");
        ContinuousState state = pass.initial_state();
        Vec out(expected.size());
        ASSERT_TRUE(pass.push(state, first_push, StridedSignal<double>(fb, data, c.channels, row, 8),
                              out.data(), 2));
        const ContinuousState before = state;
        const StridedSignal<double> rest(fb, data + first_push * row, c.channels, row, 8);
        if (c.message == nullptr) {
            x[last] = original[1];
            EXPECT_TRUE(pass.push(state, length - first_push, rest, out.data() + done, 2));
            if (c.on_channel < 0 || static_cast<std::size_t>(c.on_channel) == c.channel) {
                for (double v : out) ASSERT_TRUE(std::isfinite(v)) << c.value;
            } else {
                EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(double)), 0);
            }
            continue;
        }
        for (unsigned threads : {1u, 2u}) {
            try {
                pass.push(state, length - first_push, rest, out.data() + done, threads);
                ADD_FAILURE() << c.message << ": accepted";
            } catch (const std::invalid_argument& error) {
                EXPECT_STREQ(error.what(), c.message);
            }
            EXPECT_EQ(state.values, before.values);
            EXPECT_EQ(state.samples_pushed, first_push);
        }
        // The same push with the samples mended: the whole signal's bits.
        x[at] = original[0];
        x[last] = original[1];
        ASSERT_TRUE(pass.push(state, length - first_push, rest, out.data() + done, 2));
        EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(double)), 0)
            << c.message;
    }
}

// A state carries the identity of its pass: another hop, another filter
// table or another frame length of the same state size is refused, and so
// is a record that is not one; the same design built again is the same pass.
TEST(Continuous, AStateBelongsToItsPass) {
    const Filterbank fb(400, 5, 16000, nullptr, -1, 50, 6000, 0);
    const Filterbank same(400, 5, 16000, nullptr, -1, 50, 6000, 0);
    const Filterbank other_rate(400, 8, 44100, nullptr, -1, 50, 6000, 0);
    const Filterbank other_length(399, 5, 16000, nullptr, -1, 50, 6000, 0);
    const ContinuousGammatone pass(fb, 160);
    ContinuousState state = pass.initial_state();
    const Vec x(500, 0.25);
    Vec out(8);
    ASSERT_TRUE(pass.push(state, x.size(), StridedSignal<double>(fb, reinterpret_cast<const unsigned char*>(x.data()), 1, 8, 8), out.data(), 1));
    const Vec packed = pass.packed(state);
    const ContinuousState again = ContinuousGammatone(same, 160).unpacked(packed);
    EXPECT_EQ(again.values, state.values);
    EXPECT_EQ(again.samples_pushed, 500u);

    for (const ContinuousGammatone& foreign :
         {ContinuousGammatone(fb, 150), ContinuousGammatone(other_rate, 160),
          ContinuousGammatone(other_length, 160)}) {
        ASSERT_EQ(foreign.state_size(), pass.state_size());
        EXPECT_THROW(foreign.unpacked(packed), std::invalid_argument);
        ContinuousState copy = state;
        EXPECT_THROW(foreign.push(copy, 0, [](std::size_t, std::size_t, double*) {}, out.data(), 1),
                     std::invalid_argument);
    }
    for (double bad : {-1.0, 0.5, 4294967296.0, std::nan("")}) {
        Vec forged = packed;
        forged[forged.size() - 1] = bad;
        EXPECT_THROW(pass.unpacked(forged), std::invalid_argument) << bad;
    }
    EXPECT_THROW(pass.unpacked(Vec(packed.begin(), packed.end() - 1)), std::invalid_argument);
    EXPECT_THROW(pass.unpacked(Vec(3)), std::invalid_argument);
}

// Sizes near the ends of the counts: refused with std::length_error where a
// sum or product would wrap around, never a small state or a wrong frame.
TEST(Continuous, SizesThatWrapAroundAreRefused) {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    for (std::size_t num_samples : {max, max - 10, max - 11, max / 2, std::size_t{1} << 62}) {
        for (std::size_t hop : {std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
            for (std::size_t features : {std::size_t{2}, std::size_t{64}}) {
                const Filterbank fb(num_samples, features, 16000, nullptr, -1, 50, 6000, 0);
                const ContinuousGammatone pass(fb, hop);
                EXPECT_THROW(pass.initial_state(), std::length_error)
                    << num_samples << " every " << hop << ", " << features << " filters";
            }
        }
    }
    // No filters: the open frames alone overflow the rows.
    for (std::size_t num_samples : {max, max - 10}) {
        const Filterbank none(num_samples, 0, 16000, nullptr, -1, 50, 6000, 0);
        EXPECT_THROW(ContinuousGammatone(none, 1).initial_state(), std::length_error);
    }
    // Frames longer than the positions left: nothing counted wraps.
    const Filterbank fb(max, 2, 16000, nullptr, -1, 50, 6000, 0);
    const ContinuousGammatone pass(fb, std::size_t{1} << 63);
    ContinuousState state = pass.initial_state();
    EXPECT_EQ(pass.state_size(), (LockstepFilters::state_rows + 2) * 8);
    EXPECT_THROW(pass.frames_completed_by(state, 1), std::length_error);
    state.samples_pushed = max - 5;
    EXPECT_THROW(pass.frames_completed_by(state, 10), std::length_error);
    const Filterbank short_frames(4, 2, 16000, nullptr, -1, 50, 6000, 0);
    const ContinuousGammatone short_pass(short_frames, 3);
    ContinuousState late = short_pass.initial_state();
    late.samples_pushed = max - 20;
    Vec out(short_pass.frames_completed_by(late, 10) * 2);
    const Vec x(10, 0.5);
    EXPECT_TRUE(short_pass.push(late, x.size(), StridedSignal<double>(short_frames, reinterpret_cast<const unsigned char*>(x.data()), 1, 8, 8), out.data(), 1));
    EXPECT_EQ(late.samples_pushed, max - 10);
    EXPECT_THROW(short_pass.frames_completed_by(late, 8), std::length_error);
}

// The calling thread keeps asking should_stop while the other threads
// finish their shares: here its own filters (one group of three) are done
// long before the others, which run until it has been asked again.
TEST(Continuous, StopIsAskedUntilEveryThreadIsDone) {
    const Filterbank fb(100, 24, 16000, nullptr, -1, 50, 6000, 0);
    const ContinuousGammatone pass(fb, 50);
    ContinuousState state = pass.initial_state();
    // Long enough for two threads.
    const Vec x(ContinuousGammatone::min_thread_work, 0.25);
    const std::size_t blocks = x.size() / ContinuousGammatone::block_samples;
    const StridedSignal<double> signal(fb, reinterpret_cast<const unsigned char*>(x.data()), 1, 8, 8);
    std::atomic<bool> own_done{false}, asked_after{false};
    std::atomic<std::size_t> own_blocks{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto kernel = [&](const LockstepFilters& table, const tavik::extractor::ContinuousBlock& block) {
        continuous_block(KernelVariant::scalar, table, block);
        if (block.first == 0) {
            if (++own_blocks == blocks) own_done = true;
            return;
        }
        // The other thread's share goes on until the calling thread, its
        // own share done, has asked again (10 s at most: the fault would
        // otherwise hang here).
        while (!asked_after && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    Vec out(pass.frames_completed_by(state, x.size()) * 24);
    const ContinuousState before = state;
    const bool finished = pass.push_with(state, x.size(), signal, out.data(), 2,
                                         [&] {
                                             if (!own_done) return false;
                                             asked_after = true;
                                             return true;
                                         },
                                         kernel);
    EXPECT_TRUE(asked_after);
    EXPECT_FALSE(finished);
    EXPECT_EQ(state.values, before.values);
}

// Several channels: reduced per sample as the features' pass reduces them.
TEST(Bands, ChannelsAreReducedAsTheFeaturesPassReducesThem) {
    std::mt19937_64 rng(9);
    const std::size_t channels = 3, length = 900;
    const Vec x = noise(length * channels, rng);
    for (int on_channel : {-1, 0, 2}) {
        const Filterbank fb(200, 16, 22050, nullptr, on_channel, 50, 8000, 0);
        Vec mono(length);
        for (std::size_t i = 0; i < length; ++i) {
            mono[i] = on_channel >= 0
                          ? x[i * channels + on_channel]
                          : ((x[i * channels] + x[i * channels + 1]) + x[i * channels + 2]) / 3.0;
        }
        const GammatoneBands pass(fb, BandOutput::analytic);
        expect_same_rows(push_bands_in_chunks(pass, x, channels, {131}, 2,
                                              tavik::extractor::best_kernel_variant()),
                         band_reference(fb, mono, BandOutput::analytic),
                         "on_channel " + std::to_string(on_channel));
    }
}

// A refused sample, a stop and a failing reader leave the state as it was;
// the same push afterwards gives the whole signal's bits.
TEST(Bands, AFailedOrStoppedPushLeavesTheStateUnchanged) {
    std::mt19937_64 rng(10);
    const Filterbank fb(400, 24, 16000, nullptr, -1, 50, 6000, 0);
    const GammatoneBands pass(fb, BandOutput::envelope);
    Vec x = noise(ContinuousGammatone::min_thread_work, rng);
    const auto expected = band_reference(fb, x, BandOutput::envelope);
    const std::size_t first_push = 700, rest = x.size() - first_push;
    const auto* data = reinterpret_cast<const unsigned char*>(x.data());
    ContinuousState state = pass.initial_state();
    Vec out(x.size() * 24);
    ASSERT_TRUE(pass.push(state, first_push, StridedSignal<double>(fb, data, 1, 8, 8), out.data(), 2));
    const ContinuousState before = state;
    const StridedSignal<double> tail(fb, data + first_push * 8, 1, 8, 8);

    const double original = x[50000];
    x[50000] = -std::numeric_limits<double>::infinity();
    for (unsigned threads : {1u, 2u}) {
        try {
            pass.push(state, rest, tail, out.data() + first_push * 24, threads);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "The signal holds a non-finite sample (-inf) at sample 50000");
        }
        EXPECT_EQ(state.values, before.values);
        EXPECT_EQ(state.samples_pushed, first_push);
    }
    x[50000] = original;
    int asked = 0;
    EXPECT_FALSE(pass.push(state, rest, tail, out.data() + first_push * 24, 2,
                           [&] { return ++asked > 0; }));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(state.values, before.values);
    EXPECT_EQ(state.samples_pushed, first_push);
    auto failing = [](std::size_t, std::size_t, double*) { throw std::domain_error("reader"); };
    EXPECT_THROW(pass.push(state, rest, failing, out.data(), 2), std::domain_error);
    EXPECT_EQ(state.values, before.values);

    ASSERT_TRUE(pass.push(state, rest, tail, out.data() + first_push * 24, 2));
    std::vector<Vec> rows;
    for (std::size_t r = 0; r < x.size(); ++r) rows.emplace_back(out.begin() + r * 24, out.begin() + (r + 1) * 24);
    expect_same_rows(rows, expected, "after the failures");
}

// A band state belongs to its filter table and output; the features' pass
// and the band pass refuse each other's states; the output is one of three.
TEST(Bands, AStateBelongsToItsPass) {
    const Filterbank fb(400, 5, 16000, nullptr, -1, 50, 6000, 0);
    const Filterbank same(200, 5, 16000, nullptr, -1, 50, 6000, 0);  // the frames do not matter
    const Filterbank other(400, 5, 16000, nullptr, -1, 60, 6000, 0);
    const GammatoneBands pass(fb, BandOutput::real);
    ContinuousState state = pass.initial_state();
    const Vec x(500, 0.25);
    Vec out(500 * 5);
    ASSERT_TRUE(pass.push(state, x.size(), StridedSignal<double>(fb, reinterpret_cast<const unsigned char*>(x.data()), 1, 8, 8), out.data(), 1));
    const Vec packed = pass.packed(state);
    EXPECT_EQ(GammatoneBands(same, BandOutput::real).unpacked(packed).values, state.values);
    for (const GammatoneBands& foreign :
         {GammatoneBands(other, BandOutput::real), GammatoneBands(fb, BandOutput::envelope)}) {
        try {
            foreign.unpacked(packed);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), GammatoneBands::foreign_state);
        }
    }
    const ContinuousGammatone frames(fb, 400);
    EXPECT_THROW(frames.unpacked(packed), std::invalid_argument);
    EXPECT_THROW(pass.unpacked(frames.packed(frames.initial_state())), std::invalid_argument);
    EXPECT_THROW(GammatoneBands(fb, BandOutput::none), std::invalid_argument);
    EXPECT_EQ(tavik::extractor::band_output_named("analytic"), BandOutput::analytic);
    try {
        tavik::extractor::band_output_named("none");
        ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "output must be 'envelope', 'analytic' or 'real', not 'none'");
    }
}

}  // namespace
