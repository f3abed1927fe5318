// The band pass of a gammatone filterbank: every filter runs once through a
// whole signal, as in the continuous pass of the features, and every sample
// of every filter is kept (BandOutput: its envelope, its analytic signal or
// the band-pass output) instead of a mean over frames.
//
// The signal arrives in pushes of any length; the values of a sample are the
// same whatever the pushes, bit for bit, because the state carries the
// filters' values from one push to the next.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "extractor/continuous_gammatone.hpp"
#include "extractor/lockstep_kernels.hpp"

namespace tavik::extractor {

// The names of the band outputs, as the module takes them: "envelope",
// "analytic", "real" ("none" for none).
inline const char* band_output_name(BandOutput output) {
    switch (output) {
        case BandOutput::envelope: return "envelope";
        case BandOutput::analytic: return "analytic";
        case BandOutput::real: return "real";
        case BandOutput::none: break;
    }
    return "none";
}

// The band output named `name`, or std::invalid_argument naming what there is.
inline BandOutput band_output_named(std::string_view name) {
    for (BandOutput output : {BandOutput::envelope, BandOutput::analytic, BandOutput::real}) {
        if (name == band_output_name(output)) return output;
    }
    throw std::invalid_argument(fmt::format(
        "output must be 'envelope', 'analytic' or 'real', not '{}'", name));
}

// The pass: its state is the filters' state alone (no frames), its identity
// that of the filter table and the output.
class GammatoneBands : public FilterPass {
public:
    const BandOutput output;

    // The message of a state that belongs to another pass (or to none).
    static constexpr const char* foreign_state =
        "state does not belong to a band pass of this filterbank and output";

    // The filterbank must outlive the pass; the output is one of the three.
    GammatoneBands(const Filterbank& filterbank, BandOutput output)
        : FilterPass(filterbank, 0,
                     fingerprint(filterbank, {band_pass_word, static_cast<std::uint64_t>(
                                                                  checked_output(output))}),
                     foreign_state),
          output(output) {}

    // Doubles per sample in the output: one per filter, two (a complex
    // double) for the analytic signal.
    std::size_t row_values() const {
        return output == BandOutput::analytic ? 2 * filterbank.num_features
                                              : filterbank.num_features;
    }

    // Pushes n samples, read as ContinuousGammatone::push reads them (with
    // the same refusal of a sample that is not finite or too large). Sample
    // i's values go to out[i * row_values()] on, filter by filter in
    // ascending order: n * row_values() doubles in all. The filters are
    // split over threads and `should_stop` asked as run_shares tells: when
    // it answers true, the push ends early and returns false, with part of
    // `out` written. Returns true once every sample is in. On false or an
    // exception, `state` and the filterbank are unchanged.
    template <typename Reader>
    bool push(ContinuousState& state, std::size_t n, const Reader& read, double* out,
              unsigned num_threads, const StopCheck& should_stop = {},
              KernelVariant variant = best_kernel_variant()) const {
        return push_with(state, n, read, out, num_threads, should_stop, kernel_of(variant));
    }

    // push with a kernel of one's own: kernel(table, block) runs one block
    // as continuous_block does.
    template <typename Reader, typename Kernel>
    bool push_with(ContinuousState& state, std::size_t n, const Reader& read, double* out,
                   unsigned num_threads, const StopCheck& should_stop,
                   const Kernel& kernel) const {
        if (!owns(state)) throw std::invalid_argument(foreign_state);
        checked_sum<std::uint64_t>(state.samples_pushed, n, too_many_samples);
        const LockstepFilters table = filterbank.lockstep_filters();
        std::vector<double> values = state.values;  // committed only on success
        const bool finished = run_shares(
            state.samples_pushed, n, num_threads, should_stop,
            [&](std::size_t first, std::size_t last, const auto& ended) {
                run_filters(table, values.data(), n, read, first, last, out, kernel, ended);
            });
        if (!finished) return false;
        state.values.swap(values);
        state.samples_pushed += n;
        return true;
    }

private:
    // Marks the fingerprint of a band pass: no hop and frame length could
    // make a pass of the features with these first words and this state.
    static constexpr std::uint64_t band_pass_word = 0x62616e6473u;  // "bands"

    static BandOutput checked_output(BandOutput output) {
        if (output == BandOutput::none) {
            throw std::invalid_argument("A band pass needs a band output");
        }
        return output;
    }

    // Filters [first, last) through the n samples of a push, block by block,
    // each block's rows of the output handed to the kernel.
    template <typename Reader, typename Kernel, typename Ended>
    void run_filters(const LockstepFilters& table, double* values, std::size_t n,
                     const Reader& read, std::size_t first, std::size_t last, double* out,
                     const Kernel& kernel, const Ended& ended) const {
        // A bank without filters still reads its samples: the reader's
        // checks refuse the same signals as with filters.
        if (n == 0 || (first >= last && table.stride != 0)) return;
        const std::size_t block = std::min(n, block_samples);
        std::vector<double> mono(block);
        const std::size_t row = row_values();
        for (std::size_t b = 0; b < n; b += block) {
            if (ended()) return;
            const std::size_t len = std::min(block, n - b);
            read(b, len, mono.data());
            if (first >= last) continue;
            ContinuousBlock rows{first, last, values, mono.data(), len, nullptr, nullptr, 0, 0,
                                 filterbank.num_features, nullptr};
            rows.bands = out + b * row;
            rows.band_stride = row;
            rows.band_output = output;
            kernel(table, rows);
        }
    }
};

}  // namespace tavik::extractor
