// The lock-step kernel over 4 lanes, compiled with -mavx2 (never -mfma): only
// reached once the CPU has been found to support AVX2.
#include "extractor/lockstep_kernel_template.hpp"

#if !defined(__AVX2__) || defined(__FMA__)
#error "compile this file with -mavx2 and without -mfma"
#endif

namespace tavik::extractor {

void lockstep_features_avx2(const LockstepFilters& filters, const double* input, std::size_t n,
                            double* features) {
    lockstep_all<4, 1>(filters, input, n, features);
}

}  // namespace tavik::extractor
