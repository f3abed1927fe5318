// Whole signals: the continuous pass against frames, on one signal of 60 s
// at 16 kHz with 64 filters and the usual framing (25 ms every 10 ms), for
// each kernel variant this CPU runs, on one thread and on every core; then
// the band pass of the same signal (every sample of every band, 491 MB of
// float64 at these sizes) against the features' pass, picked variant, one
// thread, each output into an array written once before (no page faults).
//
//   continuous_bench [seconds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "extractor/continuous_gammatone.hpp"
#include "extractor/frame_batch.hpp"
#include "extractor/gammatone_bands.hpp"

using namespace tavik::extractor;
using Clock = std::chrono::steady_clock;

namespace {

// The fastest of `rounds` runs, in seconds: a disturbance of the shared
// machine lengthens a run, never shortens one.
template <typename Run>
double fastest(Run run, int rounds = 5) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int rate = 16000;
    const std::size_t frame = 400, hop = 160;
    const GammatoneFilterbank<double> fb(frame, 64, rate, [](double v) { return v; }, -1, 50,
                                        8000, 0);
    std::vector<double> x(static_cast<std::size_t>(seconds * rate));
    std::mt19937_64 rng(1);
    std::normal_distribution<double> noise(0.0, 0.3);
    for (double& v : x) v = noise(rng);
    const std::size_t frames = (x.size() - frame) / hop + 1;
    std::vector<double> out(frames * fb.num_features);
    const auto* bytes = reinterpret_cast<const unsigned char*>(x.data());
    const unsigned cores = available_cores();

    const double framed = fastest([&] {
        extract_batch(fb, bytes, frames, static_cast<std::ptrdiff_t>(hop * sizeof(double)),
                      out.data(), 1);
    });
    const double framed_all = fastest([&] {
        extract_batch(fb, bytes, frames, static_cast<std::ptrdiff_t>(hop * sizeof(double)),
                      out.data(), cores);
    });
    std::printf("%.0f s of 16 kHz noise, 64 filters, frames of %zu every %zu samples\n", seconds,
                frame, hop);
    std::printf("%-34s %9s %11s %10s\n", "path", "seconds", "x frames/1", "x own/1");
    std::printf("%-34s %9.4f %11.2f %10s\n", "frames, 1 thread (dispatch)", framed, 1.0, "");
    std::printf("%-34s %9.4f %11.2f %10.2f\n",
                ("frames, " + std::to_string(cores) + " threads").c_str(), framed_all,
                framed / framed_all, framed / framed_all);

    const ContinuousGammatone pass(fb, hop);
    const StridedSignal<double> signal(fb, bytes, 1, sizeof(double), 0);
    double features_one = 0.0;  // the picked variant's, on one thread
    for (KernelVariant v : all_kernel_variants) {
        if (!kernel_variant_supported(v)) {
            std::printf("%-34s %9s   (not on this CPU)\n",
                        (std::string("continuous ") + kernel_variant_name(v)).c_str(), "-");
            continue;
        }
        auto run = [&](unsigned threads) {
            return fastest([&] {
                ContinuousState state = pass.initial_state();
                pass.push(state, x.size(), signal, out.data(), threads, {}, v);
            });
        };
        const double one = run(1);
        const double all = run(cores);
        if (v == best_kernel_variant()) features_one = one;
        const std::string name = std::string("continuous ") + kernel_variant_name(v) +
                                 (v == best_kernel_variant() ? " (picked)" : "");
        std::printf("%-34s %9.4f %11.2f %10s\n", (name + ", 1 thread").c_str(), one,
                    framed / one, "");
        std::printf("%-34s %9.4f %11.2f %10.2f\n",
                    (name + ", " + std::to_string(cores) + " threads").c_str(), all, framed / all,
                    one / all);
    }

    std::printf("\nbands against the features (%s, 1 thread): %.4f s\n",
                kernel_variant_name(best_kernel_variant()), features_one);
    std::printf("%-34s %9s %11s %10s\n", "output", "seconds", "x features", "MB");
    for (BandOutput output : {BandOutput::envelope, BandOutput::real, BandOutput::analytic}) {
        const GammatoneBands bands(fb, output);
        std::vector<double> values(x.size() * bands.row_values(), 1.0);
        const double one = fastest([&] {
            ContinuousState state = bands.initial_state();
            bands.push(state, x.size(), signal, values.data(), 1);
        });
        std::printf("%-34s %9.4f %11.2f %10.0f\n",
                    (std::string("bands ") + band_output_name(output)).c_str(), one,
                    one / features_one, values.size() * sizeof(double) / 1e6);
    }
    return 0;
}
