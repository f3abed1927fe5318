// The groupings of the wider variants (8 lanes with 2 and 3 vectors in
// flight, 4 lanes with 2), compiled here for the baseline instruction set
// (the compiler splits each vector), so that their grouping of filters and
// their last, smaller groups are checked on every CPU, not only on one with
// AVX-512 or AVX2.
#include "extractor/lockstep_kernel_template.hpp"

namespace tavik::extractor::testing {

void lockstep_features_eight_lanes_x2(const LockstepFilters& filters, const double* input,
                                      std::size_t n, double* features) {
    lockstep_all<8, 2>(filters, input, n, features);
}

void lockstep_features_eight_lanes_x3(const LockstepFilters& filters, const double* input,
                                      std::size_t n, double* features) {
    lockstep_all<8, 3>(filters, input, n, features);
}

void lockstep_features_four_lanes_x2(const LockstepFilters& filters, const double* input,
                                     std::size_t n, double* features) {
    lockstep_all<4, 2>(filters, input, n, features);
}

void continuous_block_eight_lanes_x2(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<8, 2>(filters, block);
}

void continuous_block_eight_lanes_x3(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<8, 3>(filters, block);
}

void continuous_block_four_lanes_x2(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<4, 2>(filters, block);
}

}  // namespace tavik::extractor::testing
