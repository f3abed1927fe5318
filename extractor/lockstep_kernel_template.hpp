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
void continuous_block_scalar(const LockstepFilters& filters, const ContinuousBlock& block);
void continuous_block_baseline(const LockstepFilters& filters, const ContinuousBlock& block);
void continuous_block_avx2_x1(const LockstepFilters& filters, const ContinuousBlock& block);
void continuous_block_avx2_x2(const LockstepFilters& filters, const ContinuousBlock& block);
void continuous_block_avx512_x2(const LockstepFilters& filters, const ContinuousBlock& block);
void continuous_block_avx512_x3(const LockstepFilters& filters, const ContinuousBlock& block);

namespace {

// W doubles in one vector (a size that depends on a template parameter is
// not accepted in the attribute, hence one specialisation per width).
template <int W> struct VectorOf;
template <> struct VectorOf<1> { typedef double type __attribute__((vector_size(8))); };
template <> struct VectorOf<2> { typedef double type __attribute__((vector_size(16))); };
template <> struct VectorOf<4> { typedef double type __attribute__((vector_size(32))); };
template <> struct VectorOf<8> { typedef double type __attribute__((vector_size(64))); };
// The lane indices of a shuffle of W doubles.
template <int W> struct IndicesOf;
template <> struct IndicesOf<1> { typedef long long type __attribute__((vector_size(8))); };
template <> struct IndicesOf<2> { typedef long long type __attribute__((vector_size(16))); };
template <> struct IndicesOf<4> { typedef long long type __attribute__((vector_size(32))); };
template <> struct IndicesOf<8> { typedef long long type __attribute__((vector_size(64))); };

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

    // re and im to out as W pairs (re[0], im[0], re[1], im[1], ...).
    static void store_interleaved(double* out, V re, V im) {
        if constexpr (W == 1) {
            out[0] = re[0];
            out[1] = im[0];
        } else {
            const V low = __builtin_shuffle(re, im, pairs(0, std::make_index_sequence<W>{}));
            const V high = __builtin_shuffle(re, im, pairs(W / 2, std::make_index_sequence<W>{}));
            std::memcpy(out, &low, sizeof(V));
            std::memcpy(out + W, &high, sizeof(V));
        }
    }

    // The shuffle that takes lanes from, from + 1, ... of re and im in turn.
    using Indices = typename IndicesOf<W>::type;
    template <std::size_t... K>
    static Indices pairs(long long from, std::index_sequence<K...>) {
        return Indices{static_cast<long long>(K % 2 == 0 ? from + K / 2 : W + from + K / 2)...};
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

// W filters' coefficients, one per lane.
template <int W>
struct LaneCoefficients {
    using V = typename Lanes<W>::V;
    V a0, a1, a2, a3, a4, gain, coscf, sincf;

    static LaneCoefficients load(const LockstepFilters& table, std::size_t first) {
        const double* column = table.coefficients + first;
        return {Lanes<W>::load(column + 0 * table.stride), Lanes<W>::load(column + 1 * table.stride),
                Lanes<W>::load(column + 2 * table.stride), Lanes<W>::load(column + 3 * table.stride),
                Lanes<W>::load(column + 4 * table.stride), Lanes<W>::load(column + 5 * table.stride),
                Lanes<W>::load(column + 6 * table.stride), Lanes<W>::load(column + 7 * table.stride)};
    }
};

// W filters' working state, one per lane, in the order of the rows of a
// carried state table (LockstepFilters::state_rows).
template <int W>
struct LaneState {
    using V = typename Lanes<W>::V;
    V c, s, pr1, pr2, pr3, pr4, pi1, pi2, pi3, pi4, acc;

    // The state of a filter before its first sample: phasor (1, 0), all else 0.
    static LaneState initial() {
        LaneState st;
        st.c = Lanes<W>::broadcast(1.0);
        st.s = st.pr1 = st.pr2 = st.pr3 = st.pr4 = V{};
        st.pi1 = st.pi2 = st.pi3 = st.pi4 = st.acc = V{};
        return st;
    }

    static LaneState load(const double* state, std::size_t stride) {
        LaneState st;
        V* rows[] = {&st.c, &st.s, &st.pr1, &st.pr2, &st.pr3, &st.pr4,
                     &st.pi1, &st.pi2, &st.pi3, &st.pi4, &st.acc};
        for (std::size_t r = 0; r < LockstepFilters::state_rows; ++r) {
            *rows[r] = Lanes<W>::load(state + r * stride);
        }
        return st;
    }

    void store(double* state, std::size_t stride) const {
        const V* rows[] = {&c, &s, &pr1, &pr2, &pr3, &pr4, &pi1, &pi2, &pi3, &pi4, &acc};
        for (std::size_t r = 0; r < LockstepFilters::state_rows; ++r) {
            std::memcpy(state + r * stride, rows[r], sizeof(V));
        }
    }
};

// What filter_step hands its tap when nothing is to be kept of a sample but
// the integrator: nothing is done, and the step compiles as without a tap.
struct NoTap {
    template <typename V>
    void operator()(V, V, V, V, V) const {}
};

// One sample x through W filters: the scalar filter's per-sample steps
// (recursive section, flush, two-zero section, envelope, integrator, shift,
// phasor rotation) in its order. Afterwards st.acc is the integrator value
// of this sample. Before the integrator, tap(yr, yi, level, c, s) sees the
// two-zero section's output, gain * envelope (the value the integrator
// takes) and the phasor that shifted x down. Both the per-frame and the
// continuous kernels, and the band pass, run this step, so they cannot
// drift apart.
template <int W, typename Tap = NoTap>
[[gnu::always_inline]] inline void filter_step(const LaneCoefficients<W>& k, LaneState<W>& st,
                                               typename Lanes<W>::V x, typename Lanes<W>::V decay,
                                               typename Lanes<W>::V threshold,
                                               const Tap& tap = Tap{}) {
    using L = Lanes<W>;
    using V = typename L::V;
    V pr = x * st.c + k.a0 * st.pr1 + k.a1 * st.pr2 + k.a2 * st.pr3 + k.a3 * st.pr4;
    V pi = x * st.s + k.a0 * st.pi1 + k.a1 * st.pi2 + k.a2 * st.pi3 + k.a3 * st.pi4;
    pr = L::flush_tiny(pr, threshold);
    pi = L::flush_tiny(pi, threshold);
    const V yr = pr + k.a0 * st.pr1 + k.a4 * st.pr2;
    const V yi = pi + k.a0 * st.pi1 + k.a4 * st.pi2;
    const V m = L::sqrt(yr * yr + yi * yi);
    const V level = k.gain * m;
    tap(yr, yi, level, st.c, st.s);
    st.acc = level + decay * st.acc;
    st.pr4 = st.pr3; st.pr3 = st.pr2; st.pr2 = st.pr1; st.pr1 = pr;
    st.pi4 = st.pi3; st.pi3 = st.pi2; st.pi2 = st.pi1; st.pi1 = pi;
    const V c_next = k.coscf * st.c + k.sincf * st.s;
    const V s_next = k.coscf * st.s - k.sincf * st.c;
    st.c = c_next;
    st.s = s_next;
}

// Filters first .. first + U * W - 1 over the frame; their features go to
// out[0 .. U * W - 1].
template <int W, int U>
void lockstep_group(const LockstepFilters& table, std::size_t first, const double* input,
                    std::size_t n, double* out) {
    using L = Lanes<W>;
    using V = typename L::V;
    const V threshold = L::broadcast(1.1754943508222875e-38);
    const V decay = L::broadcast(table.decay);

    LaneCoefficients<W> k[U];
    LaneState<W> st[U];
    V sum[U];
    for (int u = 0; u < U; ++u) {
        k[u] = LaneCoefficients<W>::load(table, first + std::size_t(u) * W);
        st[u] = LaneState<W>::initial();
        sum[u] = V{};
    }

    for (std::size_t i = 0; i < n; ++i) {
        const V x = L::broadcast(input[i]);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            filter_step(k[u], st[u], x, decay, threshold);
            sum[u] = sum[u] + st[u].acc;
        }
    }

    const double scale = 1.0 - table.decay;
    const double count = static_cast<double>(n);
    for (int u = 0; u < U; ++u) {
        for (int k2 = 0; k2 < W; ++k2) out[u * W + k2] = (sum[u][k2] * scale) / count;
    }
}

// The first `count` values in ascending order without repeats; returns how
// many remain. (Written here rather than taken from <algorithm>: an inline
// function of the standard library instantiated in a file compiled for a
// wider instruction set could be the copy that the linker keeps.)
inline std::size_t sort_unique(std::size_t* values, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t v = values[i];
        std::size_t j = i;
        for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
        values[j] = v;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (kept == 0 || values[kept - 1] != values[i]) values[kept++] = values[i];
    }
    return kept;
}

// Spans of one block whose sums are formed segment by segment; a block with
// more (very short hops) forms each span's sum on its own.
constexpr std::size_t max_segment_spans = 64;
// Frames open at once whose sums the recursion keeps in registers.
constexpr std::size_t max_register_sums = 4;

// A frame's sums over these filters as a segment from `from` on needs them:
// 0.0 where the frame starts, else what the earlier samples left.
template <int W, int U>
void load_sum(const LockstepFilters& table, const ContinuousBlock& block, std::size_t first,
              const FrameSpan& span, std::size_t from, typename Lanes<W>::V (&sum)[U]) {
    const double* row = block.sums + span.slot * table.stride + first;
    const bool fresh = span.starts && span.begin == from;
    for (int u = 0; u < U; ++u) {
        sum[u] = fresh ? typename Lanes<W>::V{} : Lanes<W>::load(row + u * W);
    }
}

// Back after a segment that ends at `to`; a frame whose last sample is
// to - 1 writes (sum * (1 - decay)) / frame_length for the filters below
// num_features.
template <int W, int U>
void store_sum(const LockstepFilters& table, const ContinuousBlock& block, std::size_t first,
               const FrameSpan& span, std::size_t to, const typename Lanes<W>::V (&sum)[U]) {
    double* row = block.sums + span.slot * table.stride + first;
    for (int u = 0; u < U; ++u) std::memcpy(row + u * W, &sum[u], sizeof(sum[u]));
    if (span.features == nullptr || span.end != to) return;
    const double scale = 1.0 - table.decay;
    const double count = static_cast<double>(block.frame_length);
    for (std::size_t lane = 0; lane < std::size_t(U) * W && first + lane < block.num_features;
         ++lane) {
        span.features[first + lane] = (sum[lane / W][lane % W] * scale) / count;
    }
}

// Samples [from, to) of the block's scratch rows, for filters first ..
// first + U * W - 1, added to the sum of one frame open over the segment.
template <int W, int U>
void sum_span(const LockstepFilters& table, const ContinuousBlock& block, std::size_t first,
              const FrameSpan& span, std::size_t from, std::size_t to) {
    using L = Lanes<W>;
    using V = typename L::V;
    constexpr std::size_t lanes = std::size_t(U) * W;
    V sum[U];
    load_sum<W, U>(table, block, first, span, from, sum);
    for (std::size_t i = from; i < to; ++i) {
        const double* row = block.envelope + i * lanes;
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) sum[u] = sum[u] + L::load(row + u * W);
    }
    store_sum<W, U>(table, block, first, span, to, sum);
}

// One sample's band values of W filters (see BandOutput) to `out`, the
// place of the first of them in the sample's row of the band output: a whole
// vector where all W lanes are filters below num_features (Whole), else the
// first `valid` lanes alone.
template <int W, BandOutput Kind, bool Whole>
[[gnu::always_inline]] inline void store_band(double* out, std::size_t valid,
                                              typename Lanes<W>::V gain, typename Lanes<W>::V yr,
                                              typename Lanes<W>::V yi, typename Lanes<W>::V level,
                                              typename Lanes<W>::V c, typename Lanes<W>::V s) {
    using V = typename Lanes<W>::V;
    static_assert(Kind != BandOutput::none, "a band output");
    if constexpr (Kind == BandOutput::envelope || Kind == BandOutput::real) {
        V value = level;
        if constexpr (Kind == BandOutput::real) value = gain * (yr * c + yi * s);
        if constexpr (Whole) {
            std::memcpy(out, &value, sizeof(V));
        } else {
            for (std::size_t lane = 0; lane < valid; ++lane) out[lane] = value[lane];
        }
    } else {
        const V re = gain * (yr * c + yi * s);
        const V im = gain * (yi * c - yr * s);
        if constexpr (Whole) {
            Lanes<W>::store_interleaved(out, re, im);
        } else {
            for (std::size_t lane = 0; lane < valid; ++lane) {
                out[2 * lane] = re[lane];
                out[2 * lane + 1] = im[lane];
            }
        }
    }
}

// Samples [from, to) of the block through the group's filters (filters
// first .. first + U * W - 1). With K frames open over the whole segment
// (K <= max_register_sums), their sums advance in registers as each
// integrator value is made: the 2.5 additions per sample of the usual
// framing, and nothing else. With more (very short hops), the values go to
// the block's scratch rows and are summed afterwards. A band pass (Kind not
// none, K 0) writes each sample's band values instead; Whole when every lane
// of the group is a filter below num_features.
template <int W, int U, int K, bool ToScratch, BandOutput Kind = BandOutput::none,
          bool Whole = true>
[[gnu::always_inline]] inline void run_segment(const LaneCoefficients<W> (&k)[U],
                                               LaneState<W> (&st)[U],
                                               typename Lanes<W>::V (&sum)[max_register_sums][U],
                                               const LockstepFilters& table,
                                               const ContinuousBlock& block, std::size_t first,
                                               std::size_t from, std::size_t to) {
    using L = Lanes<W>;
    using V = typename L::V;
    const V threshold = L::broadcast(1.1754943508222875e-38);
    const V decay = L::broadcast(table.decay);
    constexpr std::size_t lanes = std::size_t(U) * W;
    // A band output's place in a row and how many lanes of each vector are
    // filters below num_features, outside the loop (whose stores could
    // otherwise be taken to change the block).
    double* const bands = block.bands;
    const std::size_t band_stride = block.band_stride;
    std::size_t place[U], valid[U];
    for (int u = 0; u < U; ++u) {
        const std::size_t column = first + std::size_t(u) * W;
        const std::size_t left = column < block.num_features ? block.num_features - column : 0;
        valid[u] = left < std::size_t(W) ? left : W;
        place[u] = (Kind == BandOutput::analytic ? 2 : 1) * column;
    }
    for (std::size_t i = from; i < to; ++i) {
        const V x = L::broadcast(block.input[i]);
#pragma GCC unroll 8
        for (int u = 0; u < U; ++u) {
            if constexpr (Kind == BandOutput::none) {
                filter_step(k[u], st[u], x, decay, threshold);
            } else {
                double* out = bands + i * band_stride + place[u];
                filter_step(k[u], st[u], x, decay, threshold,
                            [&](V yr, V yi, V level, V c, V s) {
                                store_band<W, Kind, Whole>(out, valid[u], k[u].gain, yr, yi,
                                                           level, c, s);
                            });
            }
#pragma GCC unroll 4
            for (int q = 0; q < K; ++q) sum[q][u] = sum[q][u] + st[u].acc;
            if constexpr (ToScratch) std::memcpy(block.envelope + i * lanes + u * W, &st[u].acc, sizeof(V));
        }
    }
}

// Filters first .. first + U * W - 1 of a band pass over one block of
// samples, from their carried state and back into it: one segment that
// writes the band output (Whole where every lane is a filter below
// num_features).
template <int W, int U, BandOutput Kind>
void band_group(const LockstepFilters& table, const ContinuousBlock& block, std::size_t first) {
    LaneCoefficients<W> k[U];
    LaneState<W> st[U];
    for (int u = 0; u < U; ++u) {
        const std::size_t column = first + std::size_t(u) * W;
        k[u] = LaneCoefficients<W>::load(table, column);
        st[u] = LaneState<W>::load(block.state + column, table.stride);
    }
    typename Lanes<W>::V sum[max_register_sums][U];  // no frames: never read
    if (block.num_features >= first + std::size_t(U) * W) {
        run_segment<W, U, 0, false, Kind, true>(k, st, sum, table, block, first, 0, block.n);
    } else {
        run_segment<W, U, 0, false, Kind, false>(k, st, sum, table, block, first, 0, block.n);
    }
    for (int u = 0; u < U; ++u) st[u].store(block.state + first + std::size_t(u) * W, table.stride);
}

// Filters first .. first + U * W - 1 of a continuous pass over one block of
// samples, from their carried state and back into it, segment by segment:
// between two consecutive span boundaries the same frames are open. Each
// frame's sum is formed in sample order, from 0.0 at its first sample; a
// frame that ends in this block writes its features of these filters.
template <int W, int U>
void continuous_group(const LockstepFilters& table, const ContinuousBlock& block,
                      std::size_t first) {
    using V = typename Lanes<W>::V;
    LaneCoefficients<W> k[U];
    LaneState<W> st[U];
    for (int u = 0; u < U; ++u) {
        const std::size_t column = first + std::size_t(u) * W;
        k[u] = LaneCoefficients<W>::load(table, column);
        st[u] = LaneState<W>::load(block.state + column, table.stride);
    }
    V sum[max_register_sums][U];

    if (block.num_spans > max_segment_spans) {
        // Very short hops: every value to the scratch rows, then span by span.
        run_segment<W, U, 0, true>(k, st, sum, table, block, first, 0, block.n);
        for (std::size_t f = 0; f < block.num_spans; ++f) {
            const FrameSpan* span = block.spans + f;
            sum_span<W, U>(table, block, first, *span, span->begin, span->end);
        }
    } else {
        std::size_t points[2 * max_segment_spans + 2];
        std::size_t num_points = 0;
        points[num_points++] = 0;
        points[num_points++] = block.n;
        for (std::size_t f = 0; f < block.num_spans; ++f) {
            points[num_points++] = block.spans[f].begin;
            points[num_points++] = block.spans[f].end;
        }
        num_points = sort_unique(points, num_points);
        for (std::size_t p = 0; p + 1 < num_points; ++p) {
            const std::size_t from = points[p], to = points[p + 1];
            const FrameSpan* open[max_segment_spans];
            std::size_t count = 0;
            for (std::size_t f = 0; f < block.num_spans; ++f) {
                const FrameSpan& span = block.spans[f];
                if (span.begin <= from && span.end >= to) open[count++] = &span;
            }
            if (count > max_register_sums) {
                run_segment<W, U, 0, true>(k, st, sum, table, block, first, from, to);
                for (std::size_t q = 0; q < count; ++q) {
                    sum_span<W, U>(table, block, first, *open[q], from, to);
                }
                continue;
            }
            for (std::size_t q = 0; q < count; ++q) {
                load_sum<W, U>(table, block, first, *open[q], from, sum[q]);
            }
            switch (count) {
                case 0: run_segment<W, U, 0, false>(k, st, sum, table, block, first, from, to); break;
                case 1: run_segment<W, U, 1, false>(k, st, sum, table, block, first, from, to); break;
                case 2: run_segment<W, U, 2, false>(k, st, sum, table, block, first, from, to); break;
                case 3: run_segment<W, U, 3, false>(k, st, sum, table, block, first, from, to); break;
                default: run_segment<W, U, 4, false>(k, st, sum, table, block, first, from, to); break;
            }
            for (std::size_t q = 0; q < count; ++q) {
                store_sum<W, U>(table, block, first, *open[q], to, sum[q]);
            }
        }
    }
    for (int u = 0; u < U; ++u) st[u].store(block.state + first + std::size_t(u) * W, table.stride);
}

// The group of filters from `first` on, of the features' pass or of a band pass.
template <int W, int U>
void any_group(const LockstepFilters& table, const ContinuousBlock& block, std::size_t first) {
    switch (block.band_output) {
        case BandOutput::none: continuous_group<W, U>(table, block, first); return;
        case BandOutput::envelope: band_group<W, U, BandOutput::envelope>(table, block, first); return;
        case BandOutput::analytic: band_group<W, U, BandOutput::analytic>(table, block, first); return;
        case BandOutput::real: band_group<W, U, BandOutput::real>(table, block, first); return;
    }
}

// Filters [block.first, block.last) over one block: groups of U vectors,
// then groups of fewer for the rest. Padding lanes are computed like filters
// (their state and envelope columns exist) and never read.
template <int W, int U>
void continuous_all(const LockstepFilters& table, const ContinuousBlock& block,
                    std::size_t first) {
    static_assert(LockstepFilters::lockstep_padding % W == 0, "the table pads to whole vectors");
    constexpr std::size_t lanes = std::size_t(U) * W;
    for (; block.last - first >= lanes; first += lanes) any_group<W, U>(table, block, first);
    if constexpr (U > 1) {
        if (first < block.last) continuous_all<W, U - 1>(table, block, first);
    }
}

template <int W, int U>
void continuous_all(const LockstepFilters& table, const ContinuousBlock& block) {
    continuous_all<W, U>(table, block, block.first);
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
