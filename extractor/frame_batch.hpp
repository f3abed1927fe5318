// Features of many frames at once, spread over worker threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

#include "extractor/extractor.hpp"

namespace tavik::extractor {

// The number of cores this process may run on (its affinity mask), at least 1.
inline unsigned available_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
#endif
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

// More workers than this only add threads that wait: native work is bound by
// the cores. A few per core leave room for work that waits on something else.
inline unsigned max_batch_threads() { return 4 * available_cores(); }

// How many batches on several threads are running on this thread's stack,
// the worker threads counting as inside their batch. A batch started from
// inside such a batch (a compute that calls batch) runs on its calling
// thread alone: the outer batch already has the cores, and a call that
// recursed through batches would otherwise start new threads at every
// level, without bound. A batch on one thread (as a Python compute runs)
// leaves the cores to the batches that its frames start.
inline thread_local unsigned batch_nesting = 0;

struct NestedBatch {
    explicit NestedBatch(bool counts) : counts(counts) { batch_nesting += counts ? 1 : 0; }
    ~NestedBatch() { batch_nesting -= counts ? 1 : 0; }
    NestedBatch(const NestedBatch&) = delete;
    NestedBatch& operator=(const NestedBatch&) = delete;
    const bool counts;
};

// Asked by the calling thread between frames, about every interval; when it
// answers true, no further frame is claimed and the batch ends early.
using StopCheck = std::function<bool()>;
inline constexpr std::chrono::milliseconds stop_check_interval{20};

// Runs `features_of(i)` for every frame i in [0, num_frames) on up to
// num_threads threads and writes its num_features values to row i of `out`.
// `make_reader()` is called once per worker and returns its `features_of`, so
// that each worker owns its scratch buffers.
//
// Frames are claimed in rising order from a shared counter. When a frame
// fails, no further frame is claimed; every frame below it has been claimed
// already and runs to its end, so the exception rethrown here, after all
// workers have joined, is the one of the lowest failing frame whatever the
// timing. num_threads 0 means every available core; the count is capped at
// the number of frames and at max_batch_threads(), and is 1 for a batch
// inside a batch on several threads. The calling thread is always one of the workers, and the
// only one that asks `should_stop`.
//
// Returns false when `should_stop` ended the batch (the rows of unfinished
// frames are then left as they were), true when every frame is done.
template <typename T, typename MakeReader>
bool run_batch(const Extractor<T>& extractor, std::size_t num_frames, T* out,
               unsigned num_threads, MakeReader make_reader, const StopCheck& should_stop) {
    using Clock = std::chrono::steady_clock;
    const std::size_t num_features = extractor.num_features;
    if (num_threads == 0) num_threads = available_cores();
    num_threads = std::min(num_threads, max_batch_threads());
    num_threads = static_cast<unsigned>(std::min<std::size_t>(num_threads, num_frames));
    if (batch_nesting > 0) num_threads = std::min(num_threads, 1u);
    if (num_frames == 0) return true;
    const bool parallel = num_threads > 1;
    const NestedBatch nested(parallel);

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex failure_mutex;
    std::size_t failing_frame = num_frames;
    std::exception_ptr failure;
    bool stopped = false;

    // The clock is read only every `stride` frames, the stride adapting so
    // that reads come about once a millisecond however long a frame takes:
    // the check costs next to nothing on short frames and still comes in
    // time on long ones.
    Clock::time_point last_read = Clock::now();
    Clock::time_point next_check = last_read + stop_check_interval;
    unsigned stride = 1, countdown = 1;
    auto stop_requested = [&]() {
        if (--countdown != 0) return false;
        const Clock::time_point now = Clock::now();
        const auto since = now - last_read;
        last_read = now;
        if (since < std::chrono::milliseconds(1) && stride < 65536) {
            stride *= 2;
        } else if (since > std::chrono::milliseconds(4) && stride > 1) {
            stride /= 2;
        }
        countdown = stride;
        if (now < next_check) return false;
        next_check = now + stop_check_interval;
        return should_stop();
    };

    auto work = [&](bool checks_stop) {
        const NestedBatch inside(parallel);  // a helper thread is inside this batch too
        auto features_of = make_reader();
        while (!failed.load(std::memory_order_relaxed)) {
            if (checks_stop && stop_requested()) {
                stopped = true;
                failed.store(true, std::memory_order_relaxed);
                break;
            }
            const std::size_t i = next.fetch_add(1);
            if (i >= num_frames) break;
            try {
                const typename Extractor<T>::Features features = features_of(i);
                if (features.size() != num_features) {
                    throw std::length_error(fmt::format(
                        "Extractor produced {} features, expected {}", features.size(),
                        num_features));
                }
                if (num_features > 0) {
                    std::memcpy(out + i * num_features, features.data(), num_features * sizeof(T));
                }
#if defined(__GLIBCXX__)
            } catch (const abi::__forced_unwind&) {
                // The thread is being ended (pthread_exit, for instance by an
                // interpreter that is shutting down): the unwinding must go on,
                // and the frame it leaves undone fails the batch.
                {
                    std::lock_guard<std::mutex> lock(failure_mutex);
                    if (i < failing_frame) {
                        failing_frame = i;
                        failure = std::make_exception_ptr(std::runtime_error(
                            "A batch thread was ended before its frame was done"));
                    }
                }
                failed.store(true, std::memory_order_relaxed);
                throw;
#endif
            } catch (...) {
                std::lock_guard<std::mutex> lock(failure_mutex);
                if (i < failing_frame) {
                    failing_frame = i;
                    failure = std::current_exception();
                }
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };

    // A helper that cannot make its working memory (make_reader throws, for
    // instance std::bad_alloc) claims no frame and leaves them to the others;
    // the calling thread, which does the same first thing, reports it if it
    // cannot either. Nothing but a forced unwind leaves a helper otherwise.
    auto help = [&]() {
        try {
            work(false);
#if defined(__GLIBCXX__)
        } catch (const abi::__forced_unwind&) {
            throw;
#endif
        } catch (...) {
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(num_threads > 0 ? num_threads - 1 : 0);
    for (unsigned t = 1; t < num_threads; ++t) {
        try {
            helpers.emplace_back(help);
        } catch (const std::system_error&) {
            break;  // fewer threads than asked for: the others share the work
        }
    }
    try {
        work(static_cast<bool>(should_stop));
    } catch (...) {
        // Only a forced unwind or a throwing stop check leaves work(): the
        // helpers are joined first, since destroying a joinable thread ends
        // the process.
        failed.store(true, std::memory_order_relaxed);
        for (std::thread& helper : helpers) helper.join();
        throw;
    }
    for (std::thread& helper : helpers) helper.join();
    if (stopped) return false;
    if (failure) std::rethrow_exception(failure);
    return true;
}

// Frames are num_samples values of type S each, the first at `frames`, each
// next one `row_stride` bytes further on (any sign, any alignment: samples
// are copied out with memcpy and converted exactly to T). Row i of `out`
// (num_features values) receives exactly what calling the extractor on
// frame i gives; with `transformed` false, its raw features (compute), to
// which Extractor::apply_transform later gives the same bits.
template <typename T, typename S = T>
bool extract_batch(const Extractor<T>& extractor, const unsigned char* frames,
                   std::size_t num_frames, std::ptrdiff_t row_stride, T* out,
                   unsigned num_threads, const StopCheck& should_stop = {},
                   bool transformed = true) {
    const std::size_t num_samples = extractor.num_samples;
    auto make_reader = [&]() {
        return [&, frame = typename Extractor<T>::Frame(num_samples)](std::size_t i) mutable {
            const unsigned char* row = frames + static_cast<std::ptrdiff_t>(i) * row_stride;
            if constexpr (std::is_same_v<S, T>) {
                if (num_samples > 0) std::memcpy(frame.data(), row, num_samples * sizeof(T));
            } else {
                for (std::size_t k = 0; k < num_samples; ++k) {
                    S sample;
                    std::memcpy(&sample, row + k * sizeof(S), sizeof(S));
                    frame[k] = static_cast<T>(sample);
                }
            }
            return transformed ? extractor(frame) : extractor.compute(frame);
        };
    };
    return run_batch(extractor, num_frames, out, num_threads, make_reader, should_stop);
}

// Multichannel frames: frame i is a matrix of `channels` rows (channels) and
// extractor.num_samples columns (sample instants) of type S, element (r, c)
// at frames + i * frame_stride + r * channel_stride + c * sample_stride bytes
// (any strides, any alignment). Each frame is gathered into a column-major
// matrix of T and reduced exactly as the matrix form of the call operator
// reduces it, so row i of `out` is what calling the extractor on that matrix
// gives (its raw features with `transformed` false, as extract_batch).
template <typename T, typename S = T>
bool extract_batch_channels(const Extractor<T>& extractor, const unsigned char* frames,
                            std::size_t num_frames, std::size_t channels,
                            std::ptrdiff_t frame_stride, std::ptrdiff_t channel_stride,
                            std::ptrdiff_t sample_stride, T* out, unsigned num_threads,
                            const StopCheck& should_stop = {}, bool transformed = true) {
    using Matrix = typename Extractor<T>::Matrix;
    const auto rows = static_cast<Eigen::Index>(channels);
    const auto cols = static_cast<Eigen::Index>(extractor.num_samples);
    auto make_reader = [&]() {
        return [&, matrix = Matrix(rows, cols)](std::size_t i) mutable {
            const unsigned char* frame = frames + static_cast<std::ptrdiff_t>(i) * frame_stride;
            for (Eigen::Index c = 0; c < cols; ++c) {
                for (Eigen::Index r = 0; r < rows; ++r) {
                    S sample;
                    std::memcpy(&sample, frame + r * channel_stride + c * sample_stride,
                                sizeof(S));
                    matrix(r, c) = static_cast<T>(sample);
                }
            }
            const typename Extractor<T>::MatrixView view(matrix);
            return transformed ? extractor(view)
                               : extractor.compute(extractor.matrix_to_vector(view));
        };
    };
    return run_batch(extractor, num_frames, out, num_threads, make_reader, should_stop);
}

}  // namespace tavik::extractor
