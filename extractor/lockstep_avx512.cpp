// The lock-step kernel over 8 lanes, compiled with -mavx512f (never -mfma):
// only reached once the CPU has been found to support AVX-512F.
#include "extractor/lockstep_kernel_template.hpp"

#if !defined(__AVX512F__) || defined(__FMA__)
#error "compile this file with -mavx512f and without -mfma"
#endif

namespace tavik::extractor {

void lockstep_features_avx512(const LockstepFilters& filters, const double* input,
                              std::size_t n, double* features) {
    lockstep_all<8, 2>(filters, input, n, features);
}

}  // namespace tavik::extractor
