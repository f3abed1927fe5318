// Microseconds per default frame (1024 samples, 64 filters from 50 to 8000 Hz
// at 44100 Hz) for the scalar path and each lock-step variant this CPU runs,
// each forced through GammatoneFilterbank::compute_with, and for compute,
// which uses the variant best_kernel_variant picked.
//
//   core_bench          a table for people
//   core_bench --tsv    "name<TAB>microseconds<TAB>note" lines for
//                       bench/bench.py, "-" for a variant this CPU lacks
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "extractor/frame_batch.hpp"
#include "extractor/gammatone_filterbank.hpp"

using tavik::extractor::GammatoneFilterbank;
using tavik::extractor::KernelVariant;
using tavik::extractor::all_kernel_variants;
using tavik::extractor::best_kernel_variant;
using tavik::extractor::kernel_candidates;
using tavik::extractor::kernel_variant_name;
using tavik::extractor::kernel_variant_supported;
using Filterbank = GammatoneFilterbank<double>;
using Clock = std::chrono::steady_clock;

namespace {

// `calls` calls of `call`; the time per call in microseconds.
template <typename Call>
double microseconds_per_call(Call& call, long calls) {
    const auto start = Clock::now();
    for (long i = 0; i < calls; ++i) call();
    return std::chrono::duration<double>(Clock::now() - start).count() / calls * 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const bool tsv = argc > 1 && std::strcmp(argv[1], "--tsv") == 0;
    const Filterbank fb(1024, 64, 44100, nullptr, -1, 50, 8000, 0);
    std::mt19937_64 rng(1);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::vector<double> frame(fb.num_samples);
    for (double& x : frame) x = noise(rng);

    // The choice is made here, before any timing, as on a first call.
    const KernelVariant picked = best_kernel_variant();
    const auto candidates = kernel_candidates();

    std::vector<double> reference(fb.num_features), features(fb.num_features);
    fb.compute_with(KernelVariant::scalar, frame, reference);
    std::vector<KernelVariant> variants;
    for (KernelVariant v : all_kernel_variants) {
        if (!kernel_variant_supported(v)) continue;
        fb.compute_with(v, frame, features);
        if (std::memcmp(features.data(), reference.data(), features.size() * sizeof(double))) {
            std::fprintf(stderr, "%s differs from the scalar path\n", kernel_variant_name(v));
            return 1;
        }
        variants.push_back(v);
    }

    // Rounds of about 0.15 s per variant, the variants taking turns within
    // each round so that a disturbance of the shared machine falls on all of
    // them alike; the fastest round of each variant is reported, being the
    // least disturbed.
    constexpr int rounds = 7;
    constexpr double round_seconds = 0.15;
    // After the variants: compute itself, through the dispatch; then a batch
    // of frames on one thread without and with the checks for a stop (what
    // lets Ctrl-C end a batch from Python), timed per frame.
    constexpr std::size_t batch_frames = 64;
    std::vector<double> frames, batch_out(batch_frames * fb.num_features);
    for (std::size_t i = 0; i < batch_frames; ++i) frames.insert(frames.end(), frame.begin(), frame.end());
    const auto* rows = reinterpret_cast<const unsigned char*>(frames.data());
    const std::ptrdiff_t row_bytes = fb.num_samples * sizeof(double);
    const tavik::extractor::StopCheck never = [] { return false; };
    // With the module's default transform, as batch runs it.
    const Filterbank logs(1024, 64, 44100, static_cast<double (*)(double)>(&std::log10), -1, 50,
                          8000, 0);
    const std::size_t entries = variants.size() + 3;
    auto run = [&](std::size_t k) {
        if (k < variants.size()) {
            fb.compute_with(variants[k], frame, features);
        } else if (k == variants.size()) {
            fb.compute(frame, features);
        } else {
            tavik::extractor::extract_batch(logs, rows, batch_frames, row_bytes, batch_out.data(), 1,
                                            k == variants.size() + 1 ? tavik::extractor::StopCheck()
                                                                     : never);
        }
    };
    std::vector<long> calls;
    std::vector<double> best(entries, 1e300);
    for (std::size_t k = 0; k < entries; ++k) {
        auto call = [&] { run(k); };
        const double once = microseconds_per_call(call, 3);
        calls.push_back(std::max(1L, static_cast<long>(round_seconds * 1e6 / once)));
    }
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < entries; ++k) {
            auto call = [&] { run(k); };
            best[k] = std::min(best[k], microseconds_per_call(call, calls[k]));
        }
    }

    auto print = [&](const std::string& name, double us, const std::string& note) {
        if (tsv) {
            std::printf("%s\t%s\t%s\n", name.c_str(), us > 0 ? std::to_string(us).c_str() : "-",
                        note.c_str());
        } else if (us > 0) {
            std::printf("%-28s %12.1f %10.2f  %s\n", name.c_str(), us, best[0] / us, note.c_str());
        } else {
            std::printf("%-28s %12s %10s  %s\n", name.c_str(), "-", "-", note.c_str());
        }
    };
    if (!tsv) {
        std::printf("%-28s %12s %10s  %s\n", "path (core, one frame)", "us/frame", "x scalar",
                    "note");
    }
    for (KernelVariant v : all_kernel_variants) {
        const std::string name = std::string("core ") + kernel_variant_name(v);
        const auto found = std::find(variants.begin(), variants.end(), v);
        if (found == variants.end()) {
            print(name, -1, "not on this CPU");
            continue;
        }
        const bool candidate =
            std::find(candidates.begin(), candidates.end(), v) != candidates.end();
        print(name, best[found - variants.begin()],
              v == picked ? "candidate, picked" : candidate ? "candidate" : "");
    }
    print("core compute (dispatch)", best[variants.size()],
          std::string("uses ") + kernel_variant_name(picked));
    const double plain = best[variants.size() + 1] / batch_frames;
    const double checked = best[variants.size() + 2] / batch_frames;
    char overhead[64];
    std::snprintf(overhead, sizeof overhead, "stop checks cost %+.2f %%",
                  (checked / plain - 1.0) * 100.0);
    print("core batch, 1 thread", plain, "64 frames, no stop checks");
    print("core batch, 1 thread, checks", checked, overhead);
    return 0;
}
