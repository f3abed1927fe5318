// Which lock-step variants this build carries and this CPU runs, the choice
// among them, and the call into one. Compiled for the baseline instruction
// set: no wider instruction is reachable before the CPU check has passed.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "extractor/lockstep_kernel_template.hpp"
#include "extractor/lockstep_kernels.hpp"

namespace tavik::extractor {

const char* kernel_variant_name(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::scalar: return "scalar";
        case KernelVariant::baseline: return "baseline";
        case KernelVariant::avx2_x1: return "avx2_x1";
        case KernelVariant::avx2_x2: return "avx2_x2";
        case KernelVariant::avx512_x2: return "avx512_x2";
        case KernelVariant::avx512_x3: return "avx512_x3";
    }
    return "unknown";
}

std::optional<KernelVariant> kernel_variant_named(std::string_view name) {
    for (KernelVariant v : all_kernel_variants) {
        if (name == kernel_variant_name(v)) return v;
    }
    return std::nullopt;
}

bool kernel_variant_supported(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::scalar:
        case KernelVariant::baseline:
            return true;
#if defined(TAVIK_X86_KERNELS)
        // The checks include the operating system's support for the wider
        // registers (XGETBV), not only the CPUID bits.
        case KernelVariant::avx2_x1:
        case KernelVariant::avx2_x2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
        case KernelVariant::avx512_x2:
        case KernelVariant::avx512_x3:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f");
#else
        case KernelVariant::avx2_x1:
        case KernelVariant::avx2_x2:
        case KernelVariant::avx512_x2:
        case KernelVariant::avx512_x3:
            return false;
#endif
    }
    return false;
}

std::vector<KernelVariant> supported_kernel_variants() {
    std::vector<KernelVariant> variants;
    for (KernelVariant v : all_kernel_variants) {
        if (kernel_variant_supported(v)) variants.push_back(v);
    }
    return variants;
}

std::vector<KernelVariant> kernel_candidates() {
    std::vector<KernelVariant> candidates;
    for (KernelVariant v : all_kernel_variants) {
        if (v != KernelVariant::scalar && v != KernelVariant::baseline &&
            kernel_variant_supported(v)) {
            candidates.push_back(v);
        }
    }
    if (candidates.empty()) candidates.push_back(KernelVariant::baseline);
    return candidates;
}

namespace {

// A filterbank of the default size (64 filters, 8 of which pad nothing) with
// gammatone coefficients spread from low to high bandwidths, over a short
// frame of noise: the work of a real call, scaled down. Each candidate runs
// in turn, round after round, and keeps its fastest round: a disturbance of
// the machine lengthens a round, never shortens one.
KernelChoice calibrate(const std::vector<KernelVariant>& candidates) {
    if (candidates.size() == 1) return {candidates.front(), candidates, {}, false};
    constexpr std::size_t count = 64;
    constexpr std::size_t stride = 64;
    constexpr std::size_t n = 384;
    constexpr int rounds = 9;
    static_assert(stride % LockstepFilters::lockstep_padding == 0, "whole vectors");

    std::vector<double> table(LockstepFilters::num_rows * stride);
    for (std::size_t i = 0; i < count; ++i) {
        const double b = 0.005 + 0.1 * static_cast<double>(i) / count;
        const double d = std::exp(-b);
        const double phase = 0.01 + 1.5 * static_cast<double>(i) / count;
        const double fields[LockstepFilters::num_rows] = {
            4 * d, -6 * d * d, 4 * d * d * d, -d * d * d * d, d * d, b * b * b * b / 3,
            std::cos(phase), std::sin(phase)};
        for (std::size_t r = 0; r < LockstepFilters::num_rows; ++r) {
            table[r * stride + i] = fields[r];
        }
    }
    std::vector<double> input(n), features(count);
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    for (double& x : input) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        x = static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    }
    const LockstepFilters filters{table.data(), stride, count, 0.99};

    using Clock = std::chrono::steady_clock;
    std::vector<Clock::duration> best(candidates.size(), Clock::duration::max());
    for (KernelVariant v : candidates) lockstep_features(v, filters, input.data(), n, features.data());
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            const auto start = Clock::now();
            lockstep_features(candidates[k], filters, input.data(), n, features.data());
            const auto elapsed = Clock::now() - start;
            if (elapsed < best[k]) best[k] = elapsed;
        }
    }
    std::size_t fastest = 0;
    std::vector<double> seconds;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (best[k] < best[fastest]) fastest = k;
        seconds.push_back(std::chrono::duration<double>(best[k]).count());
    }
    return {candidates[fastest], candidates, seconds, false};
}

KernelChoice choose() {
    const char* forced = std::getenv(kernel_variable);
    if (forced == nullptr || *forced == '\0') return calibrate(kernel_candidates());
    const std::optional<KernelVariant> variant = kernel_variant_named(forced);
    if (!variant || !kernel_variant_supported(*variant)) {
        std::string supported;
        for (KernelVariant v : supported_kernel_variants()) {
            supported += (supported.empty() ? "" : ", ") + std::string(kernel_variant_name(v));
        }
        throw std::invalid_argument(
            fmt::format("{}={} names no kernel variant that this CPU supports ({})",
                        kernel_variable, forced, supported));
    }
    return {*variant, {}, {}, true};
}

}  // namespace

const KernelChoice& kernel_choice() {
    static const KernelChoice choice = choose();
    return choice;
}

KernelVariant best_kernel_variant() { return kernel_choice().variant; }

void lockstep_features(KernelVariant variant, const LockstepFilters& filters, const double* input,
                       std::size_t n, double* features) {
    switch (variant) {
        case KernelVariant::baseline:
            lockstep_features_baseline(filters, input, n, features);
            return;
#if defined(TAVIK_X86_KERNELS)
        case KernelVariant::avx2_x1:
        case KernelVariant::avx2_x2:
        case KernelVariant::avx512_x2:
        case KernelVariant::avx512_x3:
            if (!kernel_variant_supported(variant)) break;
            switch (variant) {
                case KernelVariant::avx2_x1:
                    lockstep_features_avx2_x1(filters, input, n, features);
                    return;
                case KernelVariant::avx2_x2:
                    lockstep_features_avx2_x2(filters, input, n, features);
                    return;
                case KernelVariant::avx512_x2:
                    lockstep_features_avx512_x2(filters, input, n, features);
                    return;
                default:
                    lockstep_features_avx512_x3(filters, input, n, features);
                    return;
            }
#endif
        default:
            break;
    }
    throw std::invalid_argument("Kernel variant is not a lock-step variant this CPU supports");
}

void require_kernel_variant(KernelVariant variant) {
    if (!kernel_variant_supported(variant)) {
        throw std::invalid_argument("Kernel variant not supported on this CPU");
    }
}

void continuous_block(KernelVariant variant, const LockstepFilters& filters,
                      const ContinuousBlock& block) {
    require_kernel_variant(variant);
    switch (variant) {
        case KernelVariant::scalar: continuous_block_scalar(filters, block); return;
        case KernelVariant::baseline: continuous_block_baseline(filters, block); return;
#if defined(TAVIK_X86_KERNELS)
        case KernelVariant::avx2_x1: continuous_block_avx2_x1(filters, block); return;
        case KernelVariant::avx2_x2: continuous_block_avx2_x2(filters, block); return;
        case KernelVariant::avx512_x2: continuous_block_avx512_x2(filters, block); return;
        case KernelVariant::avx512_x3: continuous_block_avx512_x3(filters, block); return;
#else
        default: break;  // refused above: not compiled into this build
#endif
    }
}

}  // namespace tavik::extractor
