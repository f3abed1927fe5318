// The lock-step kernel over 8 lanes, compiled with -mavx512f (never -mfma):
// only reached once the CPU has been found to support AVX-512F. The 32
// registers hold the state of two groups; a third hides more latency, with
// part of its state in memory.
#include "extractor/lockstep_kernel_template.hpp"

#if !defined(__AVX512F__) || defined(__FMA__)
#error "compile this file with -mavx512f and without -mfma"
#endif

namespace tavik::extractor {

void lockstep_features_avx512_x2(const LockstepFilters& filters, const double* input,
                                 std::size_t n, double* features) {
    lockstep_all<8, 2>(filters, input, n, features);
}

void lockstep_features_avx512_x3(const LockstepFilters& filters, const double* input,
                                 std::size_t n, double* features) {
    lockstep_all<8, 3>(filters, input, n, features);
}

void continuous_block_avx512_x2(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<8, 2>(filters, block);
}

void continuous_block_avx512_x3(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<8, 3>(filters, block);
}

}  // namespace tavik::extractor
