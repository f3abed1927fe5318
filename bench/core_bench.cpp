// Microseconds per default frame (1024 samples, 64 filters from 50 to 8000 Hz
// at 44100 Hz) for the scalar path and each lock-step variant this CPU runs,
// each forced through GammatoneFilterbank::compute_with.
//
//   core_bench          a table for people
//   core_bench --tsv    "name<TAB>microseconds" lines for bench/bench.py, "-"
//                       for a variant this CPU lacks
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "extractor/gammatone_filterbank.hpp"

using tavik::extractor::GammatoneFilterbank;
using tavik::extractor::KernelVariant;
using tavik::extractor::all_kernel_variants;
using tavik::extractor::kernel_variant_name;
using tavik::extractor::kernel_variant_supported;
using Filterbank = GammatoneFilterbank<double>;
using Clock = std::chrono::steady_clock;

namespace {

// The median over `rounds` rounds of the time per call, each round calling
// often enough to last about `round_seconds`.
template <typename Call>
double median_microseconds(Call call, int rounds = 7, double round_seconds = 0.15) {
    call();
    const auto probe_start = Clock::now();
    call();
    const double once = std::chrono::duration<double>(Clock::now() - probe_start).count();
    const long calls = std::max(1L, static_cast<long>(round_seconds / std::max(once, 1e-9)));
    std::vector<double> per_call;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        for (long i = 0; i < calls; ++i) call();
        per_call.push_back(std::chrono::duration<double>(Clock::now() - start).count() / calls);
    }
    std::sort(per_call.begin(), per_call.end());
    return per_call[per_call.size() / 2] * 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const bool tsv = argc > 1 && std::strcmp(argv[1], "--tsv") == 0;
    const Filterbank fb(1024, 64, 44100, nullptr, -1, 50, 8000, 0);
    std::mt19937_64 rng(1);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::vector<double> frame(fb.num_samples);
    for (double& x : frame) x = noise(rng);

    std::vector<double> reference(fb.num_features), features(fb.num_features);
    fb.compute_with(KernelVariant::scalar, frame, reference);
    double scalar_us = 0;
    if (!tsv) std::printf("%-28s %12s %10s\n", "path (core, one frame)", "us/frame", "x scalar");
    for (KernelVariant v : all_kernel_variants) {
        const std::string name = std::string("core ") + kernel_variant_name(v);
        if (!kernel_variant_supported(v)) {
            if (tsv) {
                std::printf("%s\t-\n", name.c_str());
            } else {
                std::printf("%-28s %12s\n", name.c_str(), "not on this CPU");
            }
            continue;
        }
        fb.compute_with(v, frame, features);
        if (std::memcmp(features.data(), reference.data(), features.size() * sizeof(double))) {
            std::fprintf(stderr, "%s differs from the scalar path\n", name.c_str());
            return 1;
        }
        const double us = median_microseconds([&] { fb.compute_with(v, frame, features); });
        if (v == KernelVariant::scalar) scalar_us = us;
        if (tsv) {
            std::printf("%s\t%.3f\n", name.c_str(), us);
        } else {
            std::printf("%-28s %12.1f %10.2f\n", name.c_str(), us, scalar_us / us);
        }
    }
    return 0;
}
