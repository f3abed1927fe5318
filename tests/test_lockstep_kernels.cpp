#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extractor/gammatone_filterbank.hpp"
#include "extractor/lockstep_kernels.hpp"

namespace tavik::extractor::testing {
void lockstep_features_eight_lanes_x2(const LockstepFilters& filters, const double* input,
                                      std::size_t n, double* features);
void lockstep_features_eight_lanes_x3(const LockstepFilters& filters, const double* input,
                                      std::size_t n, double* features);
void lockstep_features_four_lanes_x2(const LockstepFilters& filters, const double* input,
                                     std::size_t n, double* features);
}

using tavik::extractor::KernelVariant;
using tavik::extractor::LockstepFilters;
using Filterbank = tavik::extractor::GammatoneFilterbank<double>;
using Vec = std::vector<double>;

namespace {

constexpr double sentinel = 42.0;
// Around every group size of every variant: 8, 16 and 24 filters, and the
// last, smaller groups after whole ones.
constexpr std::size_t feature_counts[] = {0, 2, 3, 7, 8, 9, 15, 16, 17, 23, 24, 25, 33, 41, 64, 65};
constexpr std::size_t frame_lengths[] = {0, 1, 2, 3, 1023, 1024};
enum class FrameKind { noise, one_nan, infinities, overflowing, tiny };
constexpr FrameKind frame_kinds[] = {FrameKind::noise, FrameKind::one_nan, FrameKind::infinities,
                                     FrameKind::overflowing, FrameKind::tiny};

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

Vec make_frame(FrameKind kind, std::size_t n, std::mt19937_64& rng) {
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<std::size_t> position(0, n > 0 ? n - 1 : 0);
    const double amplitude = std::pow(10.0, std::uniform_real_distribution<double>(-3, 3)(rng));
    Vec frame(n);
    for (double& x : frame) x = amplitude * noise(rng);
    if (n == 0) return frame;
    switch (kind) {
        case FrameKind::noise: break;
        case FrameKind::one_nan: frame[position(rng)] = std::nan(""); break;
        case FrameKind::infinities:
            frame[position(rng)] = std::numeric_limits<double>::infinity();
            frame[position(rng)] = -std::numeric_limits<double>::infinity();
            break;
        case FrameKind::overflowing: frame[position(rng)] = 1e300; break;
        case FrameKind::tiny: {
            // Around the flush threshold 2^-126, on both sides and on it,
            // with subnormals and signed zeros.
            const double values[] = {9e-40, 5e-324, 1.1754943508222875e-38, 1.5e-38, 3e-38, 0.0};
            std::uniform_int_distribution<int> pick(0, 5);
            for (double& x : frame) x = (rng() & 1 ? -1 : 1) * values[pick(rng)];
            break;
        }
    }
    return frame;
}

// A filterbank with random but valid parameters.
Filterbank random_bank(std::size_t num_features, std::size_t num_samples, bool with_decay,
                       std::mt19937_64& rng) {
    const int rates[] = {8000, 16000, 22050, 44100, 48000};
    const int rate = rates[std::uniform_int_distribution<int>(0, 4)(rng)];
    const double low = std::uniform_real_distribution<double>(20, 400)(rng);
    const double high = std::uniform_real_distribution<double>(1000, 0.45 * rate)(rng);
    const double ti = with_decay ? std::uniform_real_distribution<double>(1e-4, 0.05)(rng) : 0.0;
    return Filterbank(num_samples, num_features, rate, nullptr, -1, low, high, ti);
}

std::string describe(const Filterbank& fb, std::size_t n, FrameKind kind) {
    return "num_features " + std::to_string(fb.num_features) + ", frame length " +
           std::to_string(n) + ", decay " + std::to_string(fb.decay) + ", frame kind " +
           std::to_string(static_cast<int>(kind));
}

// Runs `compute` (which fills a vector of num_features + 3 elements) against
// the scalar path on every combination of count, length, decay and frame
// kind, bit for bit, the three extra elements included.
template <typename Compute>
void expect_scalar_bits_everywhere(Compute compute) {
    std::mt19937_64 rng(2024);
    for (std::size_t count : feature_counts) {
        for (std::size_t n : frame_lengths) {
            for (bool with_decay : {false, true}) {
                const Filterbank fb = random_bank(count, n, with_decay, rng);
                for (FrameKind kind : frame_kinds) {
                    const Vec frame = make_frame(kind, n, rng);
                    Vec expected(count + 3, sentinel), actual(count + 3, sentinel);
                    fb.compute_with(KernelVariant::scalar, frame, expected);
                    compute(fb, frame, actual);
                    for (std::size_t i = 0; i < actual.size(); ++i) {
                        ASSERT_TRUE(same_bits(actual[i], expected[i]))
                            << describe(fb, n, kind) << ": element " << i << " is " << actual[i]
                            << ", the scalar path gives " << expected[i];
                    }
                }
            }
        }
    }
}

class EveryVariant : public ::testing::TestWithParam<KernelVariant> {};

TEST_P(EveryVariant, MatchesTheScalarPathBitForBit) {
    const KernelVariant variant = GetParam();
    if (!kernel_variant_supported(variant)) {
        GTEST_SKIP() << kernel_variant_name(variant) << " is not supported by this CPU";
    }
    std::cout << "[          ] running the " << kernel_variant_name(variant) << " variant\n";
    expect_scalar_bits_everywhere([variant](const Filterbank& fb, const Vec& frame, Vec& out) {
        fb.compute_with(variant, frame, out);
    });
}

// Every lock-step variant, the ones best_kernel_variant does not pick
// included.
INSTANTIATE_TEST_SUITE_P(LockstepKernels, EveryVariant,
                         ::testing::Values(KernelVariant::baseline, KernelVariant::avx2_x1,
                                           KernelVariant::avx2_x2, KernelVariant::avx512_x2,
                                           KernelVariant::avx512_x3),
                         [](const ::testing::TestParamInfo<KernelVariant>& info) {
                             return std::string(kernel_variant_name(info.param));
                         });

// The groupings of the wider variants on any CPU, fed with the filterbank's
// own table.
struct GroupingKernel {
    const char* name;
    void (*run)(const LockstepFilters&, const double*, std::size_t, double*);
};
class WideGrouping : public ::testing::TestWithParam<GroupingKernel> {};

TEST_P(WideGrouping, MatchesTheScalarPath) {
    const auto kernel = GetParam().run;
    expect_scalar_bits_everywhere([kernel](const Filterbank& fb, const Vec& frame, Vec& out) {
        if (frame.empty() || fb.filters.empty()) {
            fb.compute_with(KernelVariant::scalar, frame, out);
            return;
        }
        kernel(fb.lockstep_filters(), frame.data(), frame.size(), out.data());
    });
}

namespace wide = tavik::extractor::testing;
INSTANTIATE_TEST_SUITE_P(
    LockstepKernels, WideGrouping,
    ::testing::Values(GroupingKernel{"eight_lanes_x2", &wide::lockstep_features_eight_lanes_x2},
                      GroupingKernel{"eight_lanes_x3", &wide::lockstep_features_eight_lanes_x3},
                      GroupingKernel{"four_lanes_x2", &wide::lockstep_features_four_lanes_x2}),
    [](const ::testing::TestParamInfo<GroupingKernel>& info) {
        return std::string(info.param.name);
    });

TEST(LockstepKernels, DispatchChoosesASupportedCandidateOnce) {
    const auto supported = tavik::extractor::supported_kernel_variants();
    ASSERT_GE(supported.size(), 2u);
    EXPECT_EQ(supported.front(), KernelVariant::scalar);
    EXPECT_EQ(supported[1], KernelVariant::baseline);
    // The candidates are the supported variants wider than the baseline, or
    // the baseline alone.
    const auto candidates = tavik::extractor::kernel_candidates();
    const std::vector<KernelVariant> wider(supported.begin() + 2, supported.end());
    EXPECT_EQ(candidates, wider.empty() ? std::vector<KernelVariant>{KernelVariant::baseline}
                                        : wider);
    const KernelVariant picked = tavik::extractor::best_kernel_variant();
    EXPECT_NE(std::find(candidates.begin(), candidates.end(), picked), candidates.end());
    EXPECT_EQ(tavik::extractor::best_kernel_variant(), picked);
    std::cout << "[          ] variants on this CPU:";
    for (KernelVariant v : supported) std::cout << ' ' << kernel_variant_name(v);
    std::cout << " (picked: " << kernel_variant_name(picked) << ")\n";

    // compute is compute_with the best variant.
    const Filterbank fb(1024, 64, 44100, nullptr, -1, 50, 8000, 0);
    std::mt19937_64 rng(5);
    const Vec frame = make_frame(FrameKind::noise, 1024, rng);
    Vec best(64);
    fb.compute_with(tavik::extractor::best_kernel_variant(), frame, best);
    const Vec features = fb.compute(frame);
    for (std::size_t i = 0; i < 64; ++i) EXPECT_TRUE(same_bits(features[i], best[i])) << i;
}

TEST(LockstepKernels, UnavailableVariantIsRefusedBeforeAnythingIsWritten) {
    const Filterbank fb(16, 8, 16000, nullptr, -1, 100, 4000, 0);
    const Vec frame(16, 0.5);
    std::vector<KernelVariant> refused = {static_cast<KernelVariant>(99)};
    for (KernelVariant v : tavik::extractor::all_kernel_variants) {
        if (!kernel_variant_supported(v)) refused.push_back(v);
    }
    for (KernelVariant v : refused) {
        Vec features(8, sentinel);
        try {
            fb.compute_with(v, frame, features);
            ADD_FAILURE() << "variant " << static_cast<int>(v) << " was accepted";
        } catch (const std::invalid_argument& err) {
            EXPECT_STREQ(err.what(), "Kernel variant not supported on this CPU");
        }
        EXPECT_EQ(features, Vec(8, sentinel));
    }
    EXPECT_STREQ(kernel_variant_name(static_cast<KernelVariant>(99)), "unknown");
}

}  // namespace
