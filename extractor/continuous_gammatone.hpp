// The continuous pass of a gammatone filterbank: every filter runs once
// through a whole signal, its state carried from each sample to the next,
// and frame j (samples j * hop to j * hop + num_samples - 1) reports the
// mean of the integrator values over its samples.
//
// Unlike the per-frame computation, no frame starts from silence, so a
// steady tone draws no onset across the bands; and each sample goes through
// each filter once however much the frames overlap. The signal arrives in
// pushes of any length; a frame's feature is the same whatever the pushes,
// bit for bit, because every sum is formed in sample order from 0.0 and the
// filter state carries the values, not approximations of them.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "extractor/checked_size.hpp"
#include "extractor/frame_batch.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "extractor/lockstep_kernels.hpp"

namespace tavik::extractor {

// What a continuous pass carries from one push to the next: the filters'
// state and the running sums of the frames still open (values), the number
// of samples pushed so far, and the identity of the pass it belongs to. A
// push that fails leaves it unchanged.
struct ContinuousState {
    std::vector<double> values;
    std::uint64_t samples_pushed = 0;
    std::uint64_t pass_identity = 0;
};

// A sample that is not a finite number, or whose magnitude exceeds
// max_sample_magnitude, as a reader reports it (by throwing this): its value,
// its position in the push, its channel and the signal's number of channels.
// The filters would carry a non-finite sample into their state and so into
// every later frame, and a huge finite one overflows inside them to the same
// effect; the push refuses either instead.
//
// The bound, 2^64 (about 1.8e19), is far beyond any audio, unscaled 64-bit
// integer samples included, and far below where the filters can overflow: the
// recursive sections amplify a sample by about 1/B^4 of the lowest band (up
// to about 1e14 at 384 kHz with a 1 Hz lower bound) and the envelope squares
// the result, so a sample must reach about 1e140 before anything overflows.
// Every channel is within it before a mixdown, so their mean is too.
constexpr double max_sample_magnitude = 18446744073709551616.0;  // 2^64

struct NonFiniteSample {
    double value;
    std::uint64_t index;
    std::size_t channel;
    std::size_t channels;
};

// What every pass of a filterbank's filters through a whole signal shares:
// the split of the filters over threads and the stop checks while they run,
// the state carried from push to push (the filters' rows, then rows of the
// pass's own) and its record, and the refusal of a sample the filters
// cannot take. ContinuousGammatone (the frames' features) and GammatoneBands
// (every sample of every band) are such passes.
class FilterPass {
public:
    using Filterbank = GammatoneFilterbank<double>;

    // Samples per block: the filters' state and the open frames' sums stay
    // in registers through a block's segments; longer blocks add nothing
    // measurable, shorter ones more loads and stores at their edges.
    static constexpr std::size_t block_samples = 1024;
    static constexpr std::size_t min_thread_work = 1 << 16;

    static constexpr const char* too_many_samples = "Too many samples pushed";

    const Filterbank& filterbank;
    // What a state must record to belong to this pass: a fingerprint of what
    // makes the pass and every bit of the filter table.
    const std::uint64_t identity;

    // Rows: LockstepFilters::state_rows rows of filter state, then the
    // pass's own rows; each row has a column per filter of the padded table.
    static constexpr const char* state_too_large =
        "The state of this continuous pass does not fit in memory";
    std::size_t state_size() const {
        const std::size_t rows =
            checked_sum(LockstepFilters::state_rows, own_rows, state_too_large);
        const std::size_t size =
            checked_product(rows, filterbank.lockstep_filters().stride, state_too_large);
        checked_product(size, sizeof(double), state_too_large);
        return size;
    }

    // The state before the first sample: every filter's phasor at (1, 0),
    // everything else 0.
    ContinuousState initial_state() const {
        ContinuousState state;
        state.values.assign(state_size(), 0.0);
        const std::size_t stride = filterbank.lockstep_filters().stride;
        std::fill_n(state.values.begin(), stride, 1.0);  // row 0: c
        state.pass_identity = identity;
        return state;
    }

    // A state of this pass: of its size, made by it (or by an equal pass).
    bool owns(const ContinuousState& state) const {
        return state.values.size() == state_size() && state.pass_identity == identity;
    }

    // The state as one array of doubles, as it leaves the module: the values,
    // then the identity and samples_pushed, each as two 32-bit halves (exact
    // in a double, whatever its bits).
    static constexpr std::size_t record_size = 4;
    std::vector<double> packed(const ContinuousState& state) const {
        std::vector<double> out;
        out.reserve(checked_sum(state.values.size(), record_size,
                                "The state of this continuous pass does not fit in memory"));
        out.assign(state.values.begin(), state.values.end());
        for (const std::uint64_t word : {state.pass_identity, state.samples_pushed}) {
            out.push_back(static_cast<double>(word >> 32));
            out.push_back(static_cast<double>(word & 0xffffffffu));
        }
        return out;
    }

    // The state that `packed` gave those doubles; std::invalid_argument
    // (the pass's foreign_state) unless it is one of this pass.
    ContinuousState unpacked(std::vector<double> values) const {
        if (values.size() < record_size) throw std::invalid_argument(foreign);
        std::uint64_t words[2];
        const std::size_t record = values.size() - record_size;
        for (std::size_t w = 0; w < 2; ++w) {
            const double high = values[record + 2 * w], low = values[record + 2 * w + 1];
            // Each half a whole number in [0, 2**32): a test that NaN fails.
            if (!(high >= 0.0 && high < 4294967296.0 && low >= 0.0 && low < 4294967296.0 &&
                  std::floor(high) == high && std::floor(low) == low)) {
                throw std::invalid_argument(foreign);
            }
            words[w] = static_cast<std::uint64_t>(high) << 32 | static_cast<std::uint64_t>(low);
        }
        values.resize(record);
        ContinuousState state{std::move(values), words[1], words[0]};
        if (!owns(state)) throw std::invalid_argument(foreign);
        return state;
    }

    // The message of a sample that is not finite or too large, at sample
    // `first` + its index in the push.
    static std::string non_finite_message(const NonFiniteSample& bad, std::uint64_t first) {
        const std::string what =
            std::isnan(bad.value)      ? "a non-finite sample (nan)"
            : std::isinf(bad.value)    ? (bad.value > 0 ? "a non-finite sample (inf)"
                                                        : "a non-finite sample (-inf)")
                                       : fmt::format("a sample too large to filter ({})", bad.value);
        const std::uint64_t at = first + bad.index;
        if (bad.channels > 1) {
            return fmt::format("The signal holds {} at sample {} of channel {}", what, at,
                               bad.channel);
        }
        return fmt::format("The signal holds {} at sample {}", what, at);
    }

protected:
    // The kernel of `variant` as push_with takes it, refused here when this
    // CPU does not run it, before anything is read or written.
    static auto kernel_of(KernelVariant variant) {
        require_kernel_variant(variant);
        return [variant](const LockstepFilters& table, const ContinuousBlock& block) {
            continuous_block(variant, table, block);
        };
    }

    // A pass with `own_rows` rows of state beyond the filters', whose state
    // records `identity`; a state of another pass is refused with `foreign`.
    FilterPass(const Filterbank& filterbank, std::size_t own_rows, std::uint64_t identity,
               const char* foreign)
        : filterbank(filterbank), identity(identity), own_rows(own_rows), foreign(foreign) {}

    // 64-bit FNV-1a, by words rather than bytes, over `head` (what makes the
    // pass beside its filters), then the table's size, its decay and every
    // bit of its coefficients: equal for passes that compute the same bits
    // (a filterbank rebuilt from the same arguments), different, short of a
    // collision, for any other.
    static std::uint64_t fingerprint(const Filterbank& filterbank,
                                     std::initializer_list<std::uint64_t> head) {
        std::uint64_t hash = 0xcbf29ce484222325u;
        auto mix = [&hash](std::uint64_t word) {
            hash ^= word;  // a word at a time: a table of 64 filters in under a microsecond
            hash *= 0x100000001b3u;
        };
        auto mix_double = [&mix](double value) {
            std::uint64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            mix(bits);
        };
        const LockstepFilters table = filterbank.lockstep_filters();
        for (const std::uint64_t word : head) mix(word);
        mix(table.count);
        mix(table.stride);
        mix_double(table.decay);
        for (std::size_t i = 0; i < LockstepFilters::num_rows * table.stride; ++i) {
            mix_double(table.coefficients[i]);
        }
        return hash;
    }

    // Runs a push of n samples that starts at sample `first_sample` of the
    // signal: share(first, last, ended) takes filters [first, last) through
    // the push, asking ended() between its blocks and returning when it
    // answers true. Errors and stops are as push_with of the passes tells.
    //
    // The filters are split over up to num_threads threads (0: every core)
    // in whole groups of lockstep_padding; each thread runs its filters
    // through the whole push. The calling thread asks `should_stop` at the
    // first block and then about every stop_check_interval until every
    // thread is done, between its own blocks and then while it waits for the
    // others; when it answers true, every share ends early and this returns
    // false. Returns true once every share is done. A NonFiniteSample thrown
    // by a share becomes std::invalid_argument (non_finite_message).
    template <typename Share>
    bool run_shares(std::uint64_t first_sample, std::size_t n, unsigned num_threads,
                    const StopCheck& should_stop, const Share& share) const {
        const LockstepFilters table = filterbank.lockstep_filters();
        const std::size_t groups = table.stride / LockstepFilters::lockstep_padding;
        if (num_threads == 0) num_threads = available_cores();
        num_threads = std::min(num_threads, max_batch_threads());
        num_threads = static_cast<unsigned>(std::min<std::size_t>(num_threads, groups));
        // A thread costs tens of microseconds to start: short pushes run on
        // fewer threads, each with at least min_thread_work filter-samples.
        // From min_thread_work samples on, every thread (at most one per
        // group of filters) has that much.
        if (n < min_thread_work) {
            const std::size_t work_units =
                checked_product(n, table.stride, too_many_samples) / min_thread_work;
            num_threads = static_cast<unsigned>(std::min<std::size_t>(num_threads, work_units));
        }
        if (batch_nesting > 0) num_threads = std::min(num_threads, 1u);
        num_threads = std::max(num_threads, 1u);
        const bool parallel = num_threads > 1;
        const NestedBatch nested(parallel);

        std::atomic<bool> finish{false};
        bool stopped = false;
        std::mutex failure_mutex;
        std::exception_ptr failure;
        using Clock = std::chrono::steady_clock;
        // The first check comes at the first block, so that even a short push
        // started after Ctrl-C ends at once.
        Clock::time_point next_check = Clock::now();

        auto work = [&](unsigned t, bool checks_stop) {
            const NestedBatch inside(parallel);
            try {
                // Thread t's filters: a share of the groups, in order.
                const std::size_t first = groups * t / num_threads * LockstepFilters::lockstep_padding;
                const std::size_t last =
                    groups * (t + 1) / num_threads * LockstepFilters::lockstep_padding;
                share(first, last, [&]() {
                    if (finish.load(std::memory_order_relaxed)) return true;
                    if (!checks_stop) return false;
                    const Clock::time_point now = Clock::now();
                    if (now < next_check) return false;
                    next_check = now + stop_check_interval;
                    if (!should_stop()) return false;
                    stopped = true;
                    finish.store(true, std::memory_order_relaxed);
                    return true;
                });
#if defined(__GLIBCXX__)
            } catch (const abi::__forced_unwind&) {
                finish.store(true, std::memory_order_relaxed);
                throw;
#endif
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure) failure = std::current_exception();
                finish.store(true, std::memory_order_relaxed);
            }
        };
        // The helpers still running, counted down as each one ends (also by
        // an unwinding), so that the calling thread can wait for them and
        // keep asking should_stop meanwhile.
        std::mutex running_mutex;
        std::condition_variable helper_ended;
        unsigned running = 0;
        struct Ending {
            std::mutex& mutex;
            std::condition_variable& ended;
            unsigned& running;
            ~Ending() {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    --running;
                }
                ended.notify_all();
            }
        };
        auto help = [&](unsigned t) {
            const Ending ending{running_mutex, helper_ended, running};
            work(t, false);
        };

        std::vector<std::thread> helpers;
        try {
            helpers.reserve(num_threads - 1);
            for (unsigned t = 1; t < num_threads; ++t) {
                {
                    std::lock_guard<std::mutex> lock(running_mutex);
                    ++running;
                }
                try {
                    helpers.emplace_back(help, t);
                } catch (...) {
                    std::lock_guard<std::mutex> lock(running_mutex);
                    --running;
                    throw;
                }
            }
        } catch (...) {
            // Fewer threads than asked for cannot take over a share of the
            // filters already handed out: end those that started, then fail.
            finish.store(true, std::memory_order_relaxed);
            for (std::thread& helper : helpers) helper.join();
            throw;
        }
        try {
            work(0, static_cast<bool>(should_stop));
            if (should_stop) {
                // The calling thread's filters are done; the others' may take
                // much longer (their shares differ by up to a group).
                std::unique_lock<std::mutex> lock(running_mutex);
                while (running > 0 && !finish.load(std::memory_order_relaxed)) {
                    helper_ended.wait_until(lock, next_check);
                    if (running == 0 || Clock::now() < next_check) continue;
                    next_check = Clock::now() + stop_check_interval;
                    lock.unlock();
                    const bool stop = should_stop();
                    lock.lock();
                    if (stop) {
                        stopped = true;
                        finish.store(true, std::memory_order_relaxed);
                    }
                }
            }
        } catch (...) {
            finish.store(true, std::memory_order_relaxed);
            for (std::thread& helper : helpers) helper.join();
            throw;
        }
        for (std::thread& helper : helpers) helper.join();
        if (failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const NonFiniteSample& bad) {
                throw std::invalid_argument(non_finite_message(bad, first_sample));
            }
        }
        return !stopped;
    }

private:
    const std::size_t own_rows;
    const char* const foreign;
};

// The continuous pass of the frames' features: the filters' state and the
// running sums of the frames open at any sample (open_frames rows).
class ContinuousGammatone : public FilterPass {
public:
    const std::size_t hop;
    // At most this many frames are open at any sample: ceil(num_samples / hop).
    const std::size_t open_frames;

    // The message of a state that belongs to another pass (or to none).
    static constexpr const char* foreign_state =
        "state does not belong to a pass of this filterbank and hop";

    // The filterbank must outlive the pass. A hop of 0 and frames of no
    // samples are refused: neither describes a sequence of frames.
    ContinuousGammatone(const Filterbank& filterbank, std::size_t hop)
        : FilterPass(filterbank, count_open_frames(filterbank, hop),
                     fingerprint(filterbank, {hop, filterbank.num_samples}), foreign_state),
          hop(hop),
          open_frames(count_open_frames(filterbank, hop)) {
        if (filterbank.num_samples == 0) {
            throw std::invalid_argument("A continuous pass needs frames of at least one sample");
        }
    }

    // Whole frames within the first `samples` samples of the signal.
    std::uint64_t frames_within(std::uint64_t samples) const {
        const std::uint64_t n = filterbank.num_samples;
        return samples >= n ? (samples - n) / hop + 1 : 0;
    }

    // Frames that a push of n samples completes after `state`. The signal's
    // sample positions, up to the end of a frame that starts within the push,
    // must be countable: the pass forms them without further checks.
    std::size_t frames_completed_by(const ContinuousState& state, std::size_t n) const {
        const std::uint64_t end =
            checked_sum<std::uint64_t>(state.samples_pushed, n, too_many_samples);
        checked_sum<std::uint64_t>(end, filterbank.num_samples, too_many_samples);
        return static_cast<std::size_t>(frames_within(end) - frames_within(state.samples_pushed));
    }

    // Pushes n samples. `read(start, count, mono)` writes samples start to
    // start + count - 1 of this push into mono; it is called from several
    // threads at once and must only read shared data. A reader that finds a
    // sample that is not finite or too large (max_sample_magnitude) among
    // them throws NonFiniteSample, for the first such sample of the range;
    // the push then fails with std::invalid_argument (non_finite_message).
    // The features of the frames that this push completes,
    // frames_completed_by(state, n) rows of num_features values each with the
    // filterbank's transform applied, go to `out`.
    //
    // The filters are split over threads and `should_stop` asked as
    // run_shares tells: when it answers true, the push ends early and
    // returns false. Returns true once every sample is in. On false or an
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
        const std::size_t completed = frames_completed_by(state, n);
        const LockstepFilters table = filterbank.lockstep_filters();
        std::vector<double> values = state.values;  // committed only on success
        const bool finished = run_shares(
            state.samples_pushed, n, num_threads, should_stop,
            [&](std::size_t first, std::size_t last, const auto& ended) {
                run_filters(table, values.data(), state.samples_pushed, n, read, first, last, out,
                            kernel, ended);
            });
        if (!finished) return false;

        apply_transform(out, completed);
        state.values.swap(values);
        state.samples_pushed += n;
        return true;
    }

private:
    static std::size_t checked_hop(std::size_t hop) {
        if (hop == 0) throw std::invalid_argument("The hop must be at least one sample");
        return hop;
    }

    static std::size_t count_open_frames(const Filterbank& filterbank, std::size_t hop) {
        const std::size_t n = filterbank.num_samples;
        return std::max<std::size_t>(1, n / checked_hop(hop) + (n % hop != 0));
    }

    // Filters [first, last) through the n samples of a push that starts at
    // sample `start` of the signal, block by block: the spans of the frames
    // open in each block tell the kernel where its integrator values go.
    template <typename Reader, typename Kernel, typename Ended>
    void run_filters(const LockstepFilters& table, double* values, std::uint64_t start,
                     std::size_t n, const Reader& read, std::size_t first, std::size_t last,
                     double* out, const Kernel& kernel, const Ended& ended) const {
        // A bank without filters still reads its samples: the reader's
        // checks refuse the same signals as with filters.
        if (n == 0 || (first >= last && table.stride != 0)) return;
        const std::size_t block = std::min(n, block_samples);
        std::vector<double> mono(block);
        std::vector<double> envelope(block * 3 * LockstepFilters::lockstep_padding);
        std::vector<FrameSpan> spans;
        // Capped before the sum: open_frames can be near the largest size.
        spans.reserve(std::min<std::size_t>(
            std::min<std::size_t>(open_frames, 1 << 20) + block / hop + 1, 1 << 20));
        const std::uint64_t frame_length = filterbank.num_samples;
        const std::uint64_t emitted_before = frames_within(start);
        const std::size_t features = filterbank.num_features;

        for (std::size_t b = 0; b < n; b += block) {
            if (ended()) return;
            const std::size_t len = std::min(block, n - b);
            read(b, len, mono.data());
            if (first >= last) continue;
            const std::uint64_t p0 = start + b, p1 = p0 + len;
            spans.clear();
            // Frames that end after p0 and start before p1.
            const std::uint64_t j_end = (p1 - 1) / hop + 1;
            for (std::uint64_t j = frames_within(p0); j < j_end; ++j) {
                const std::uint64_t begin = j * hop, end = begin + frame_length;
                const std::uint64_t lo = std::max(p0, begin), hi = std::min(p1, end);
                if (lo >= hi) continue;  // a gap between frames
                spans.push_back(FrameSpan{
                    static_cast<std::size_t>(j % open_frames), static_cast<std::size_t>(lo - p0),
                    static_cast<std::size_t>(hi - p0), begin >= p0,
                    end <= p1 ? out + (j - emitted_before) * features : nullptr});
            }
            kernel(table, ContinuousBlock{first, last, values, mono.data(), len,
                                          values + LockstepFilters::state_rows * table.stride,
                                          spans.data(), spans.size(),
                                          static_cast<std::size_t>(frame_length), features,
                                          envelope.data()});
        }
    }

    // Row by row, each with a fresh copy of the transform, in index order:
    // as the per-frame call applies it. No transform leaves the raw features.
    void apply_transform(double* out, std::size_t rows) const {
        if (!filterbank.transform) return;
        const std::size_t features = filterbank.num_features;
        for (std::size_t r = 0; r < rows; ++r) {
            typename Filterbank::Transform f = filterbank.transform;
            for (std::size_t i = 0; i < features; ++i) {
                out[r * features + i] = f(out[r * features + i]);
            }
        }
    }
};

// A signal of n samples of type S in memory, sample i of channel r at
// data + i * sample_stride + r * channel_stride bytes (any strides, any
// alignment), read in ranges as the continuous pass asks for them and
// converted exactly to double. Several channels are reduced to one per sample
// exactly as the extractor's matrix form reduces a frame (on_channel: one
// channel, or the mean of all), so a channel beyond the signal's is the same
// IndexError; a signal without channels is refused. A sample that is not
// finite or exceeds max_sample_magnitude, in a channel that enters the
// features, is reported as the pass asks (NonFiniteSample), checked as the
// samples are converted.
template <typename S>
class StridedSignal {
public:
    StridedSignal(const Extractor<double>& extractor, const unsigned char* data,
                  std::size_t channels, std::ptrdiff_t sample_stride,
                  std::ptrdiff_t channel_stride)
        : extractor(extractor),
          data(data),
          channels(channels),
          sample_stride(sample_stride),
          channel_stride(channel_stride) {
        if (channels == 0) throw std::invalid_argument(Extractor<double>::no_channels);
        // Reducing no samples checks the channel against the signal's.
        const Matrix none(static_cast<Eigen::Index>(channels), 0);
        extractor.matrix_to_vector(MatrixView(none));
    }

    void operator()(std::size_t start, std::size_t count, double* mono) const {
        if (channels == 1 && extractor.on_channel <= 0) {
            // One channel is itself (the mean of one value is that value).
            std::uint64_t carried = 0;
            for (std::size_t i = 0; i < count; ++i) {
                mono[i] = sample(start + i, 0);
                carried |= excess_carry(mono[i]);
            }
            if (carried >> 63 != 0) report_refused(start, count, 0, 1);
            return;
        }
        // The mean is checked channel by channel as the block is filled (a
        // sample out of bounds can vanish in a mean, or finite ones overflow
        // in it); a chosen channel is the reduced sample itself.
        const bool mean = extractor.on_channel < 0;
        std::uint64_t carried = 0;
        Matrix block(static_cast<Eigen::Index>(channels), static_cast<Eigen::Index>(count));
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t r = 0; r < channels; ++r) {
                const double value = sample(start + i, r);
                if (mean) carried |= excess_carry(value);
                block(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(i)) = value;
            }
        }
        if (mean && carried >> 63 != 0) report_refused(start, count, 0, channels);
        const Extractor<double>::Frame reduced = extractor.matrix_to_vector(MatrixView(block));
        std::copy(reduced.begin(), reduced.end(), mono);
        if (!mean) {
            for (std::size_t i = 0; i < count; ++i) carried |= excess_carry(mono[i]);
            const auto chosen = static_cast<std::size_t>(extractor.on_channel);
            if (carried >> 63 != 0) report_refused(start, count, chosen, chosen + 1);
        }
    }

private:
    using Matrix = Extractor<double>::Matrix;
    using MatrixView = Extractor<double>::MatrixView;

    // The bits of a value without its sign, that is its magnitude as an
    // ordered integer (infinity above every finite value, NaN above
    // infinity), plus what lifts the bits of max_sample_magnitude to just
    // below 2^63: the sum, and any or of such sums, has the top bit set
    // exactly when one of the values is out of bounds or NaN. Integer
    // additions and ors, which the compiler vectorises where it can.
    static std::uint64_t excess_carry(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return (bits & magnitude_mask) + (magnitude_mask - bound_bits);
    }

    static constexpr std::uint64_t magnitude_mask = 0x7fffffffffffffffu;
    static constexpr std::uint64_t bound_bits = 0x43f0000000000000u;  // max_sample_magnitude
    static_assert(max_sample_magnitude == 0x1p64, "bound_bits holds the bits of 2^64");

    // Throws NonFiniteSample for the first sample, in sample order and then
    // channel order among channels [first, last), that is NaN or beyond
    // max_sample_magnitude, if any. Out of line, so that the readers' loops
    // stay as lean as without it.
    [[gnu::cold, gnu::noinline]] void report_refused(std::size_t start, std::size_t count,
                                                     std::size_t first, std::size_t last) const {
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t r = first; r < last; ++r) {
                const double value = sample(start + i, r);
                if (!(std::fabs(value) <= max_sample_magnitude)) {
                    throw NonFiniteSample{value, start + i, r, channels};
                }
            }
        }
    }

    double sample(std::size_t i, std::size_t r) const {
        S value;
        std::memcpy(&value,
                    data + static_cast<std::ptrdiff_t>(i) * sample_stride +
                        static_cast<std::ptrdiff_t>(r) * channel_stride,
                    sizeof(S));
        return static_cast<double>(value);
    }

    const Extractor<double>& extractor;
    const unsigned char* data;
    std::size_t channels;
    std::ptrdiff_t sample_stride;
    std::ptrdiff_t channel_stride;
};

}  // namespace tavik::extractor
