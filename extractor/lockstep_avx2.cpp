// The lock-step kernel over 4 lanes, compiled with -mavx2 (never -mfma): only
// reached once the CPU has been found to support AVX2. One vector in flight
// leaves the 16 registers to a single filter group; two keep the pipes of
// CPUs with more of them (or a longer latency) busy, at the price of a few
// values in memory.
#include "extractor/lockstep_kernel_template.hpp"

#if !defined(__AVX2__) || defined(__FMA__)
#error "compile this file with -mavx2 and without -mfma"
#endif

namespace tavik::extractor {

void lockstep_features_avx2_x1(const LockstepFilters& filters, const double* input,
                               std::size_t n, double* features) {
    lockstep_all<4, 1>(filters, input, n, features);
}

void lockstep_features_avx2_x2(const LockstepFilters& filters, const double* input,
                               std::size_t n, double* features) {
    lockstep_all<4, 2>(filters, input, n, features);
}

void continuous_block_avx2_x1(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<4, 1>(filters, block);
}

void continuous_block_avx2_x2(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<4, 2>(filters, block);
}

}  // namespace tavik::extractor
