// The lock-step kernel, written once over GCC vector extensions and compiled
// by one translation unit per instruction set (lockstep_baseline.cpp,
// lockstep_avx2.cpp, lockstep_avx512.cpp), each with its own flags.
//
// Everything here has internal linkage and uses no inline function of the
// standard library, so that no code compiled for a wider instruction set can
// be merged by the linker into code that runs on any CPU.
//
// Each lane runs one filter through exactly the operations of the scalar
// filter, in the same order, one rounding each (-ffp-contract=off): the lanes
// are independent filters, nothing is combined across lanes or reassociated
// across samples. U vectors are kept in flight so that the latency of the
// recursion, which chains every sample to the previous one, is hidden behind
// the work of the other vectors; how many it takes depends on the CPU, hence
// one entry point per width and count.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#include "extractor/lockstep_kernels.hpp"

namespace tavik::extractor {

// The entry points, one per variant; lockstep_features dispatches to them.
void lockstep_features_baseline(const LockstepFilters& filters, const double* input,
                                std::size_t n, double* features);
void lockstep_features_avx2_x1(const LockstepFilters& filters, const double* input,
                               std::size_t n, double* features);
void lockstep_features_avx2_x2(const LockstepFilters& filters, const double* input,
                               std::size_t n, double* features);
void lockstep_features_avx512_x2(const LockstepFilters& filters, const double* input,
                                 std::size_t n, double* features);
void lockstep_features_avx512_x3(const LockstepFilters& filters, const double* input,
                                 std::size_t n, double* features);

namespace {

// W doubles in one vector (a size that depends on a template parameter is
// not accepted in the attribute, hence one specialisation per width).
template <int W> struct VectorOf;
template <> struct VectorOf<2> { typedef double type __attribute__((vector_size(16))); };
template <> struct VectorOf<4> { typedef double type __attribute__((vector_size(32))); };
template <> struct VectorOf<8> { typedef double type __attribute__((vector_size(64))); };

template <int W>
struct Lanes {
    using V = typename VectorOf<W>::type;

    // The value in every lane, as one initialiser of the whole vector: one
    // broadcast instruction. (Assigning the lanes one by one becomes W
    // masked broadcasts in the hot loop; arithmetic such as V{} + value
    // would turn -0.0 into +0.0.)
    static V broadcast(double value) { return splat(value, std::make_index_sequence<W>{}); }

    template <std::size_t... K>
    static V splat(double value, std::index_sequence<K...>) {
        return V{((void)K, value)...};
    }

    static V load(const double* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    // Correctly rounded in every lane; one vector instruction when compiled
    // with -fno-math-errno.
    static V sqrt(V v) {
        for (int k = 0; k < W; ++k) v[k] = __builtin_sqrt(v[k]);
        return v;
    }

    // The scalar filter's `if (fabs(v) < flush_threshold) v = 0.0`, lane by
    // lane: NaN fails the comparison and passes, -0.0 becomes +0.0.
    static V flush_tiny(V v, V threshold) {
        V magnitude;
        for (int k = 0; k < W; ++k) magnitude[k] = __builtin_fabs(v[k]);
        return magnitude < threshold ? V{} : v;
    }
};

// Filters first .. first + U * W - 1 over the frame; their features go to
// out[0 .. U * W - 1].
template <int W, int U>
void lockstep_group(const LockstepFilters& table, std::size_t first, const double* input,
                    std::size_t n, double* out) {
    using L = Lanes<W>;
    using V = typename L::V;
    const V threshold = L::broadcast(1.1754943508222875e-38);
    const V decay = L::broadcast(table.decay);

    V a0[U], a1[U], a2[U], a3[U], a4[U], gain[U], coscf[U], sincf[U];
    V c[U], s[U], pr1[U], pr2[U], pr3[U], pr4[U], pi1[U], pi2[U], pi3[U], pi4[U], acc[U], sum[U];
    for (int u = 0; u < U; ++u) {
        const double* column = table.coefficients + first + std::size_t(u) * W;
        a0[u] = L::load(column + 0 * table.stride);
        a1[u] = L::load(column + 1 * table.stride);
        a2[u] = L::load(column + 2 * table.stride);
        a3[u] = L::load(column + 3 * table.stride);
        a4[u] = L::load(column + 4 * table.stride);
        gain[u] = L::load(column + 5 * table.stride);
        coscf[u] = L::load(column + 6 * table.stride);
        sincf[u] = L::load(column + 7 * table.stride);
        c[u] = L::broadcast(1.0);
        s[u] = pr1[u] = pr2[u] = pr3[u] = pr4[u] = V{};
        pi1[u] = pi2[u] = pi3[u] = pi4[u] = acc[u] = sum[u] = V{};
    }

    for (std::size_t i = 0; i < n; ++i) {
        const V x = L::broadcast(input[i]);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            V pr = x * c[u] + a0[u] * pr1[u] + a1[u] * pr2[u] + a2[u] * pr3[u] + a3[u] * pr4[u];
            V pi = x * s[u] + a0[u] * pi1[u] + a1[u] * pi2[u] + a2[u] * pi3[u] + a3[u] * pi4[u];
            pr = L::flush_tiny(pr, threshold);
            pi = L::flush_tiny(pi, threshold);
            const V yr = pr + a0[u] * pr1[u] + a4[u] * pr2[u];
            const V yi = pi + a0[u] * pi1[u] + a4[u] * pi2[u];
            const V m = L::sqrt(yr * yr + yi * yi);
            acc[u] = gain[u] * m + decay * acc[u];
            sum[u] = sum[u] + acc[u];
            pr4[u] = pr3[u]; pr3[u] = pr2[u]; pr2[u] = pr1[u]; pr1[u] = pr;
            pi4[u] = pi3[u]; pi3[u] = pi2[u]; pi2[u] = pi1[u]; pi1[u] = pi;
            const V c_next = coscf[u] * c[u] + sincf[u] * s[u];
            const V s_next = coscf[u] * s[u] - sincf[u] * c[u];
            c[u] = c_next;
            s[u] = s_next;
        }
    }

    const double scale = 1.0 - table.decay;
    const double count = static_cast<double>(n);
    for (int u = 0; u < U; ++u) {
        for (int k = 0; k < W; ++k) out[u * W + k] = (sum[u][k] * scale) / count;
    }
}

// The last filters from `first` on, at most U vectors' worth: one
// group of as few vectors as hold them, padding lanes included (the table is
// padded to whole vectors of 8), computed into a local array of which only
// the filters' own lanes are copied out.
template <int W, int U>
void lockstep_last(const LockstepFilters& table, std::size_t first, const double* input,
                   std::size_t n, double* features) {
    const std::size_t left = table.count - first;
    if constexpr (U > 1) {
        if (left <= std::size_t(U - 1) * W) {
            lockstep_last<W, U - 1>(table, first, input, n, features);
            return;
        }
    }
    double lanes[U * W];
    lockstep_group<W, U>(table, first, input, n, lanes);
    const std::size_t valid = left < std::size_t(U) * W ? left : std::size_t(U) * W;
    for (std::size_t k = 0; k < valid; ++k) features[first + k] = lanes[k];
}

// Groups of U vectors while they fill up, then one smaller group for the
// rest, so that the last filters too have as many vectors in flight as they
// can fill.
template <int W, int U>
void lockstep_all(const LockstepFilters& table, const double* input, std::size_t n,
                  double* features) {
    static_assert(LockstepFilters::lockstep_padding % W == 0, "the table pads to whole vectors");
    std::size_t first = 0;
    for (; table.count - first >= std::size_t(U) * W; first += std::size_t(U) * W) {
        lockstep_group<W, U>(table, first, input, n, features + first);
    }
    if (first < table.count) lockstep_last<W, U>(table, first, input, n, features);
}

}  // namespace
}  // namespace tavik::extractor
