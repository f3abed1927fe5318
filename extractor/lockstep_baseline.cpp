// The lock-step kernel for any CPU of the target architecture: 2 lanes of
// 16-byte vectors (SSE2 on x86-64, NEON on AArch64, pairs of scalars
// elsewhere).
#include "extractor/lockstep_kernel_template.hpp"

namespace tavik::extractor {

void lockstep_features_baseline(const LockstepFilters& filters, const double* input,
                                std::size_t n, double* features) {
    lockstep_all<2, 1>(filters, input, n, features);
}

// One filter at a time: the reference order of the continuous pass.
void continuous_block_scalar(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<1, 1>(filters, block);
}

void continuous_block_baseline(const LockstepFilters& filters, const ContinuousBlock& block) {
    continuous_all<2, 1>(filters, block);
}

}  // namespace tavik::extractor
