// Features of many frames at once, spread over worker threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

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

// Frames are num_samples values each, the first at `frames`, each next one
// `row_stride` bytes further on (any sign, any alignment: rows are copied out
// with memcpy). Row i of `out` (num_features values) receives exactly what
// calling the extractor on frame i gives.
//
// Frames are claimed in rising order from a shared counter. When a frame
// fails, no further frame is claimed; every frame below it has been claimed
// already and runs to its end, so the exception rethrown here, after all
// workers have joined, is the one of the lowest failing frame whatever the
// timing. num_threads 0 means every available core; the calling thread is
// always one of the workers.
template <typename T>
void extract_batch(const Extractor<T>& extractor, const unsigned char* frames,
                   std::size_t num_frames, std::ptrdiff_t row_stride, T* out,
                   unsigned num_threads) {
    const std::size_t num_samples = extractor.num_samples;
    const std::size_t num_features = extractor.num_features;
    if (num_threads == 0) num_threads = available_cores();
    num_threads = static_cast<unsigned>(std::min<std::size_t>(num_threads, num_frames));
    if (num_frames == 0) return;

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex failure_mutex;
    std::size_t failing_frame = num_frames;
    std::exception_ptr failure;

    auto work = [&]() {
        typename Extractor<T>::Frame frame(num_samples);
        while (!failed.load(std::memory_order_relaxed)) {
            const std::size_t i = next.fetch_add(1);
            if (i >= num_frames) break;
            try {
                const unsigned char* row =
                    frames + static_cast<std::ptrdiff_t>(i) * row_stride;
                if (num_samples > 0) std::memcpy(frame.data(), row, num_samples * sizeof(T));
                const typename Extractor<T>::Features features = extractor(frame);
                if (features.size() != num_features) {
                    throw std::length_error(fmt::format(
                        "Extractor produced {} features, expected {}", features.size(),
                        num_features));
                }
                if (num_features > 0) {
                    std::memcpy(out + i * num_features, features.data(), num_features * sizeof(T));
                }
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

    std::vector<std::thread> helpers;
    helpers.reserve(num_threads > 0 ? num_threads - 1 : 0);
    for (unsigned t = 1; t < num_threads; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads than asked for: the others share the work
        }
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace tavik::extractor
