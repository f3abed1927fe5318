// Lock-step gammatone kernels: W filters at once, one filter per SIMD lane,
// each lane performing exactly the operation sequence of the scalar filter
// (GammatoneFilterbank<double>::filter_feature), so every variant produces the
// scalar path's bits. One build carries several variants compiled for
// different instruction sets; the best one the CPU supports is chosen at run
// time, once.
#pragma once

#include <cstddef>
#include <vector>

namespace tavik::extractor {

enum class KernelVariant {
    scalar,    // one filter at a time, the reference
    baseline,  // lock-step over 2 lanes, any CPU of the target architecture
    avx2,      // lock-step over 4 lanes (x86-64 with AVX2)
    avx512,    // lock-step over 8 lanes (x86-64 with AVX-512F)
};

// Every variant, from the reference to the widest.
inline constexpr KernelVariant all_kernel_variants[] = {
    KernelVariant::scalar, KernelVariant::baseline, KernelVariant::avx2, KernelVariant::avx512};

// "scalar", "baseline", "avx2", "avx512".
const char* kernel_variant_name(KernelVariant variant);

// Compiled into this build and runnable on this CPU.
bool kernel_variant_supported(KernelVariant variant);

// The widest supported variant, determined on the first call.
KernelVariant best_kernel_variant();

// The variants kernel_variant_supported accepts, in the order of
// all_kernel_variants.
std::vector<KernelVariant> supported_kernel_variants();

// The filter table laid out for the kernels: row r of `coefficients` holds
// field r of every filter (the rows are a0, a1, a2, a3, a4, gain, coscf,
// sincf), `stride` values per row. `stride` is a multiple of lockstep_padding
// and at least `count`; the padding lanes hold zeros and their results are
// never written anywhere.
struct LockstepFilters {
    static constexpr std::size_t num_rows = 8;
    static constexpr std::size_t lockstep_padding = 8;  // the widest variant's lanes
    const double* coefficients;
    std::size_t stride;
    std::size_t count;
    double decay;
};

// Feature i of filter i over `input` (n > 0 samples) into features[i] for
// i < filters.count, and nothing else. The variant must be a lock-step one
// that kernel_variant_supported accepts.
void lockstep_features(KernelVariant variant, const LockstepFilters& filters, const double* input,
                       std::size_t n, double* features);

}  // namespace tavik::extractor
