// Which lock-step variants this build carries and this CPU runs, and the
// call into the chosen one. Compiled for the baseline instruction set: no
// wider instruction is reachable before the CPU check has passed.
#include <stdexcept>

#include "extractor/lockstep_kernel_template.hpp"
#include "extractor/lockstep_kernels.hpp"

namespace tavik::extractor {

const char* kernel_variant_name(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::scalar: return "scalar";
        case KernelVariant::baseline: return "baseline";
        case KernelVariant::avx2: return "avx2";
        case KernelVariant::avx512: return "avx512";
    }
    return "unknown";
}

bool kernel_variant_supported(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::scalar:
        case KernelVariant::baseline:
            return true;
#if defined(TAVIK_X86_KERNELS)
        // The checks include the operating system's support for the wider
        // registers (XGETBV), not only the CPUID bits.
        case KernelVariant::avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
        case KernelVariant::avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f");
#else
        case KernelVariant::avx2:
        case KernelVariant::avx512:
            return false;
#endif
    }
    return false;
}

KernelVariant best_kernel_variant() {
    static const KernelVariant best = [] {
        KernelVariant widest = KernelVariant::scalar;
        for (KernelVariant v : all_kernel_variants) {
            if (kernel_variant_supported(v)) widest = v;
        }
        return widest;
    }();
    return best;
}

std::vector<KernelVariant> supported_kernel_variants() {
    std::vector<KernelVariant> variants;
    for (KernelVariant v : all_kernel_variants) {
        if (kernel_variant_supported(v)) variants.push_back(v);
    }
    return variants;
}

void lockstep_features(KernelVariant variant, const LockstepFilters& filters, const double* input,
                       std::size_t n, double* features) {
    switch (variant) {
        case KernelVariant::baseline:
            lockstep_features_baseline(filters, input, n, features);
            return;
#if defined(TAVIK_X86_KERNELS)
        case KernelVariant::avx2:
            if (kernel_variant_supported(variant)) {
                lockstep_features_avx2(filters, input, n, features);
                return;
            }
            break;
        case KernelVariant::avx512:
            if (kernel_variant_supported(variant)) {
                lockstep_features_avx512(filters, input, n, features);
                return;
            }
            break;
#endif
        default:
            break;
    }
    throw std::invalid_argument("Kernel variant is not a lock-step variant this CPU supports");
}

}  // namespace tavik::extractor
