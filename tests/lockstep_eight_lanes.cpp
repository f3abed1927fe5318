// The 8-lane kernel of the AVX-512 variant, compiled here for the baseline
// instruction set (the compiler splits each vector), so that its grouping of
// filters and its tails are checked on every CPU, not only on one with
// AVX-512.
#include "extractor/lockstep_kernel_template.hpp"

namespace tavik::extractor::testing {

void lockstep_features_eight_lanes(const LockstepFilters& filters, const double* input,
                                   std::size_t n, double* features) {
    lockstep_all<8, 2>(filters, input, n, features);
}

}  // namespace tavik::extractor::testing
