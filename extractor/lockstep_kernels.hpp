// Lock-step gammatone kernels: W filters at once, one filter per SIMD lane,
// each lane performing exactly the operation sequence of the scalar filter
// (GammatoneFilterbank<double>::filter_feature), so every variant produces the
// scalar path's bits. One build carries several variants compiled for
// different instruction sets and with different numbers of vectors in flight;
// which of them is fastest depends on the CPU (its pipes and latencies more
// than its instruction set), so the one used by default is chosen at run time
// by timing the candidates once, on first use.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace tavik::extractor {

enum class KernelVariant {
    scalar,     // one filter at a time, the reference
    baseline,   // 2 lanes, 1 vector in flight, any CPU of the target architecture
    avx2_x1,    // 4 lanes (x86-64 with AVX2), 1 vector in flight
    avx2_x2,    // 4 lanes, 2 vectors in flight
    avx512_x2,  // 8 lanes (x86-64 with AVX-512F), 2 vectors in flight
    avx512_x3,  // 8 lanes, 3 vectors in flight
};

// Every variant, from the reference to the widest.
inline constexpr KernelVariant all_kernel_variants[] = {
    KernelVariant::scalar,  KernelVariant::baseline,  KernelVariant::avx2_x1,
    KernelVariant::avx2_x2, KernelVariant::avx512_x2, KernelVariant::avx512_x3};

// "scalar", "baseline", "avx2_x1", "avx2_x2", "avx512_x2", "avx512_x3";
// "unknown" for anything else.
const char* kernel_variant_name(KernelVariant variant);

// Compiled into this build and runnable on this CPU.
bool kernel_variant_supported(KernelVariant variant);

// std::invalid_argument("Kernel variant not supported on this CPU") unless
// kernel_variant_supported(variant): every entry point that takes a chosen
// variant refuses it so, before anything is written.
void require_kernel_variant(KernelVariant variant);

// The variants kernel_variant_supported accepts, in the order of
// all_kernel_variants.
std::vector<KernelVariant> supported_kernel_variants();

// The variants best_kernel_variant chooses among: every supported variant
// wider than the baseline (the widest vector is not the fastest on every
// CPU), or the baseline alone where there is none.
std::vector<KernelVariant> kernel_candidates();

// The variant whose name (kernel_variant_name) is `name`, if any.
std::optional<KernelVariant> kernel_variant_named(std::string_view name);

// The environment variable that forces a variant by name, for bug reports
// and benchmarks: every filterbank of the process then uses that variant.
inline constexpr const char* kernel_variable = "TAVIK_KERNEL";

// How best_kernel_variant chose: the variant, the candidates it timed with
// the fastest round of each in seconds (none when forced, or when there is
// one candidate), and whether kernel_variable forced it.
struct KernelChoice {
    KernelVariant variant;
    std::vector<KernelVariant> candidates;
    std::vector<double> seconds;
    bool forced;
};

// Made on the first call: the variant that kernel_variable names when it is
// set and not empty, else the fastest of kernel_candidates on this CPU, found
// by timing each candidate on a small filterbank (1.3 to 1.5 ms on a Zen 4);
// later calls return the same choice. A kernel_variable that names no
// variant this CPU supports is an error (std::invalid_argument, on every
// call, since nothing is chosen). Thread-safe; nothing runs before the first
// call.
const KernelChoice& kernel_choice();

// kernel_choice().variant.
KernelVariant best_kernel_variant();

// The filter table laid out for the kernels: row r of `coefficients` holds
// field r of every filter (the rows are a0, a1, a2, a3, a4, gain, coscf,
// sincf), `stride` values per row. `stride` is a multiple of lockstep_padding
// and at least `count`; the padding lanes hold zeros and their results are
// never written anywhere.
struct LockstepFilters {
    static constexpr std::size_t num_rows = 8;
    // Rows of a filter state carried from one block of samples to the next:
    // the phasor c and s, the recursive section's outputs pr1 to pr4 and pi1
    // to pi4, and the integrator acc, each row `stride` values.
    static constexpr std::size_t state_rows = 11;
    static constexpr std::size_t lockstep_padding = 8;  // the widest variant's lanes
    const double* coefficients;
    std::size_t stride;
    std::size_t count;
    double decay;
};

// Feature i of filter i over `input` (n > 0 samples) into features[i] for
// i < filters.count, and nothing else. The variant must be a lock-step one
// that kernel_variant_supported accepts (std::invalid_argument otherwise).
void lockstep_features(KernelVariant variant, const LockstepFilters& filters, const double* input,
                       std::size_t n, double* features);

// The part of one frame that falls into a block of a continuous pass:
// samples [begin, end) of the block, added in order to row `slot` of the
// running sums (which starts from 0.0 when the frame starts in this block);
// when the frame ends in this block, its features go to `features`.
struct FrameSpan {
    std::size_t slot;
    std::size_t begin;
    std::size_t end;
    bool starts;
    double* features;
};

// What a band pass writes for each sample and filter, from the sample's
// two-zero section output (yr, yi), the filter's gain and the phasor (c, s)
// that shifted the sample down, before its rotation; every product and sum
// rounded on its own in the order written:
// - envelope: gain * sqrt(yr * yr + yi * yi), the value that enters the
//   integrator (one double);
// - analytic: gain * (yr * c + yi * s) and gain * (yi * c - yr * s), the
//   band's analytic signal shifted back up to its centre frequency (two
//   doubles, real then imaginary: a complex double);
// - real: the first of these alone, the band-pass output (one double).
// none: no band output, the frames' features instead.
enum class BandOutput { none, envelope, analytic, real };

// One block of a continuous pass: filters [first, last) of the table (both
// multiples of lockstep_padding, last at most the table's stride) run over
// the n samples of `input`, starting from the state in `state` (state_rows
// rows of the table's stride, columns by filter) and leaving it there; then
// the spans, in order, sum the integrator values into `sums` (rows of the
// table's stride) and write the features of the frames that end, as
// (sum * (1 - decay)) / frame_length, for the filters below num_features.
// `envelope` is scratch for at least n * 3 * lockstep_padding values.
//
// With a band output instead (band_output not none; no spans, and neither
// `sums` nor `envelope` is used), sample i's values of filter f < num_features
// go to bands[i * band_stride + f] (analytic: its two doubles from
// bands[i * band_stride + 2 * f] on).
struct ContinuousBlock {
    std::size_t first;
    std::size_t last;
    double* state;
    const double* input;
    std::size_t n;
    double* sums;
    const FrameSpan* spans;
    std::size_t num_spans;
    std::size_t frame_length;
    std::size_t num_features;
    double* envelope;
    double* bands = nullptr;
    std::size_t band_stride = 0;
    BandOutput band_output = BandOutput::none;
};

// One block of a continuous pass with a variant that kernel_variant_supported
// accepts (std::invalid_argument otherwise); the scalar variant runs the
// filters one by one in the plain order.
void continuous_block(KernelVariant variant, const LockstepFilters& filters,
                      const ContinuousBlock& block);

}  // namespace tavik::extractor
