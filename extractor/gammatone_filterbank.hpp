// A bank of fourth-order gammatone band-pass filters with centre frequencies
// evenly spaced on the ERB-rate scale. Each filter reports, per frame, the mean
// of its smoothed output envelope.
//
// Every product and sum below is written in the order in which it must be
// evaluated, one rounding per operation (the core is built with
// -ffp-contract=off), so the table and the features are reproducible bit for
// bit on every build.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "extractor/extractor.hpp"
#include "extractor/lockstep_kernels.hpp"

namespace tavik::extractor {

template <typename T>
class GammatoneFilterbank : public Extractor<T> {
public:
    using typename Extractor<T>::Frame;
    using typename Extractor<T>::Features;
    using typename Extractor<T>::Transform;

    struct Filter {
        T cf;                // centre frequency, Hz
        std::array<T, 5> a;  // {4d, -6d^2, 4d^3, -d^4, d^2}, d the pole radius
        T gain;              // b^4 / 3, b the bandwidth in radians per sample
        T coscf;             // cos and sin of the phase advance per sample at cf
        T sincf;

        Filter(T cf, T coscf, T sincf, T gain, std::array<T, 5> a)
            : cf(cf), a(a), gain(gain), coscf(coscf), sincf(sincf) {}
    };

    // Magnitudes below the smallest normal float are flushed to zero in the
    // recursion, so that a decaying filter never crawls through subnormals.
    static constexpr T flush_threshold = T(1.1754943508222875e-38);

    const T decay;
    const std::vector<Filter> filters;
    // The design arguments as given, kept so that an equal filterbank can be
    // built again (for instance after the object has been sent to another
    // process): the table and the decay cannot be inverted into them exactly.
    const T low_Hz;
    const T high_Hz;
    const T temporal_integration;

    GammatoneFilterbank(std::size_t num_samples, std::size_t num_features, int sample_rate,
                        Transform transform, int on_channel, T low_Hz, T high_Hz,
                        T temporal_integration)
        : Extractor<T>(num_samples, num_features, sample_rate, std::move(transform), on_channel),
          decay(design_decay(sample_rate, temporal_integration)),
          filters(design_filters(num_features, sample_rate, low_Hz, high_Hz)),
          low_Hz(low_Hz),
          high_Hz(high_Hz),
          temporal_integration(temporal_integration),
          lockstep_table(interleave(filters)) {}

    ~GammatoneFilterbank() override = default;

    using Extractor<T>::compute;

    // With the variant best_kernel_variant picked, the fastest candidate on
    // this CPU (timed on the first call); every variant gives the same bits.
    void compute(const Frame& input, Features& features) const override {
        compute_with(best_kernel_variant(), input, features);
    }

    // With a chosen variant, which must be one that kernel_variant_supported
    // accepts (std::invalid_argument otherwise, before anything is written).
    void compute_with(KernelVariant variant, const Frame& input, Features& features) const {
        check_capacity(features);
        require_kernel_variant(variant);
        if constexpr (std::is_same_v<T, double>) {
            if (variant != KernelVariant::scalar && !input.empty() && !filters.empty()) {
                lockstep_features(variant, lockstep_filters(), input.data(), input.size(),
                                  features.data());
                return;
            }
        }
        for (std::size_t i = 0; i < filters.size(); ++i) {
            features[i] = filter_feature(filters[i], decay, input.data(), input.size());
        }
    }

    // The filter table as the lock-step kernels read it.
    LockstepFilters lockstep_filters() const {
        static_assert(std::is_same_v<T, double>, "the lock-step kernels compute in double");
        return LockstepFilters{lockstep_table.data(), lockstep_stride(), filters.size(), decay};
    }

    // One filter over one frame, in the plain scalar order. Every faster path
    // must reproduce these bits.
    static T filter_feature(const Filter& f, T decay, const T* input, std::size_t n_samples) {
        if (n_samples == 0) return ((T(1.0) - decay) * T(0.0)) / T(0.0);
        const T a0 = f.a[0], a1 = f.a[1], a2 = f.a[2], a3 = f.a[3], a4 = f.a[4];
        T c = 1.0, s = 0.0;
        T pr1 = 0.0, pr2 = 0.0, pr3 = 0.0, pr4 = 0.0;
        T pi1 = 0.0, pi2 = 0.0, pi3 = 0.0, pi4 = 0.0;
        T acc = 0.0;
        // The integrator values are summed as they are produced, from 0.0 and
        // in sample order: the same additions as summing a buffer afterwards.
        T sum = 0.0;
        for (std::size_t n = 0; n < n_samples; ++n) {
            const T x = input[n];
            T pr = x * c + a0 * pr1 + a1 * pr2 + a2 * pr3 + a3 * pr4;
            T pi = x * s + a0 * pi1 + a1 * pi2 + a2 * pi3 + a3 * pi4;
            if (std::fabs(pr) < flush_threshold) pr = 0.0;
            if (std::fabs(pi) < flush_threshold) pi = 0.0;
            const T yr = pr + a0 * pr1 + a4 * pr2;
            const T yi = pi + a0 * pi1 + a4 * pi2;
            const T m = std::sqrt(yr * yr + yi * yi);
            acc = f.gain * m + decay * acc;
            sum = sum + acc;
            pr4 = pr3; pr3 = pr2; pr2 = pr1; pr1 = pr;
            pi4 = pi3; pi3 = pi2; pi2 = pi1; pi1 = pi;
            const T c_next = f.coscf * c + f.sincf * s;
            const T s_next = f.coscf * s - f.sincf * c;
            c = c_next;
            s = s_next;
        }
        return (sum * (T(1.0) - decay)) / static_cast<T>(n_samples);
    }

    // ERB-rate of a frequency in Hz, and its inverse.
    static T erb_rate(T f) { return std::log10(T(0.00437) * f + T(1.0)) * T(21.4); }
    static T erb_rate_to_Hz(T e) {
        return (std::pow(T(10.0), e / T(21.4)) - T(1.0)) / T(0.00437);
    }

protected:
    // The caller's vector must have room for every feature: compute writes
    // features 0 to num_features - 1 and nothing else.
    void check_capacity(const Features& features) const {
        if (features.size() < filters.size()) {
            throw std::invalid_argument(
                fmt::format("Feature vector must hold at least {} elements. Instead it holds {}.",
                            filters.size(), features.size()));
        }
    }

private:
    // The filter table for the lock-step kernels: field by field, each field's
    // row padded with zeros to whole vectors of the widest variant.
    const std::vector<T> lockstep_table;

    std::size_t lockstep_stride() const { return lockstep_table.size() / LockstepFilters::num_rows; }

    static std::vector<T> interleave(const std::vector<Filter>& table) {
        const std::size_t pad = LockstepFilters::lockstep_padding;
        const std::size_t stride = (table.size() + pad - 1) / pad * pad;
        std::vector<T> rows(LockstepFilters::num_rows * stride, T(0));
        for (std::size_t i = 0; i < table.size(); ++i) {
            const Filter& f = table[i];
            const T fields[LockstepFilters::num_rows] = {f.a[0], f.a[1], f.a[2], f.a[3],
                                                         f.a[4], f.gain, f.coscf, f.sincf};
            for (std::size_t r = 0; r < LockstepFilters::num_rows; ++r) {
                rows[r * stride + i] = fields[r];
            }
        }
        return rows;
    }

    static T design_decay(int sample_rate, T temporal_integration) {
        if (sample_rate <= 0) throw std::invalid_argument("Invalid sample rate");
        // Negative: the integrator would grow without bound; NaN or infinite:
        // it would never settle on a number.
        if (!(std::isfinite(temporal_integration) && temporal_integration >= T(0))) {
            throw std::invalid_argument("Invalid temporal integration");
        }
        const T fs = static_cast<T>(sample_rate);
        // A time constant of 0 gives -1/+0 = -inf and a decay of exactly 0.
        return std::exp(T(-1.0) / (temporal_integration * fs));
    }

    static std::vector<Filter> design_filters(std::size_t num_features, int sample_rate,
                                              T low_Hz, T high_Hz) {
        const T fs = static_cast<T>(sample_rate);
        std::vector<Filter> table;
        // reserve's own error names only itself ("vector::reserve"); this is
        // the message of std::vector's own constructor for a size beyond
        // max_size(), which names the fault.
        if (num_features > table.max_size()) {
            throw std::length_error("cannot create std::vector larger than max_size()");
        }
        table.reserve(num_features);
        const T lo = erb_rate(low_Hz);
        const T hi = erb_rate(high_Hz);
        // The count minus one is formed unsigned, so 0 filters divide by a huge
        // number and still give a small positive step. One filter, or a bound
        // whose ERB-rate is not a number, gives no finite step and no sensible
        // placement: refused like an empty range.
        const T step = (hi - lo) / static_cast<T>(num_features - 1);
        if (!(std::isfinite(lo) && std::isfinite(hi) && std::isfinite(step) && step > T(0))) {
            throw std::invalid_argument("Invalid frequency range");
        }
        const T tpt = T(6.283185307179586) / fs;
        for (std::size_t i = 0; i < num_features; ++i) {
            const T cf = erb_rate_to_Hz(static_cast<T>(i) * step + lo);
            const T b = ((T(0.00437) * cf + T(1.0)) * T(24.7)) * tpt * T(1.019);
            const T gain = ((b * b) * b) * b / T(3.0);
            const T d = std::exp(-b);
            const std::array<T, 5> a = {T(4.0) * d, (T(-6.0) * d) * d, ((T(4.0) * d) * d) * d,
                                        (((-d) * d) * d) * d, d * d};
            const T x = tpt * cf;
            table.emplace_back(cf, std::cos(x), std::sin(x), gain, a);
        }
        return table;
    }
};

}  // namespace tavik::extractor
