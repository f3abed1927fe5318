// What the binding of the continuous pass and of the band pass share (both
// are FilterPasses, extractor/continuous_gammatone.hpp): their states as
// float64 arrays, and the samples of a push read in place from NumPy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <unistd.h>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "extractor/checked_size.hpp"
#include "extractor/continuous_gammatone.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "python/interpreter_exit.hpp"

namespace tavik::python {

namespace py = pybind11;

// MemoryError unless a state of this pass fits in the machine's physical
// memory four times over: a push holds the caller's state, the one it reads
// from it, its working copy and the one it returns. Linux grants each of
// those allocations on its own (up to about the machine's memory) and ends
// the process once their pages are touched, so a state beyond that (a frame
// of hours with a hop of milliseconds) is refused before any of it is made.
// A container's own memory limit is not read: the check catches the
// hopeless sizes, not every size that fails.
inline void check_state_fits(const extractor::FilterPass& pass) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return;  // unknown: left to the allocator
    const std::size_t memory_values =
        static_cast<std::size_t>(pages) / 4 * (static_cast<std::size_t>(page_size) / sizeof(double));
    if (pass.state_size() > memory_values) {
        PyErr_SetString(PyExc_MemoryError, extractor::FilterPass::state_too_large);
        throw py::error_already_set();
    }
}

// A state of a pass as the 1-D float64 array that the pushes return and
// take: its values, then what it belongs to (FilterPass::packed).
inline py::array_t<double> state_array(const extractor::FilterPass& pass,
                                       const extractor::ContinuousState& state) {
    const std::vector<double> packed = pass.packed(state);
    py::array_t<double> out(static_cast<py::ssize_t>(packed.size()));
    std::memcpy(out.mutable_data(), packed.data(), packed.size() * sizeof(double));
    return out;
}

// The state that `state_array` gave, from an array of any stride, after
// `samples_pushed` samples; ValueError unless it belongs to this pass (a
// ContinuousGammatone or a GammatoneBands) after that many samples.
template <typename Pass>
extractor::ContinuousState state_of(const Pass& pass, const py::object& state,
                                    std::uint64_t samples_pushed) {
    if (!py::isinstance<py::array_t<double>>(state)) {
        throw py::type_error("state must be the float64 array of an earlier push");
    }
    const auto given = py::reinterpret_borrow<py::array>(state);
    if (given.ndim() != 1 || !given.dtype().equal(py::dtype::of<double>())) {
        throw py::value_error(Pass::foreign_state);
    }
    const auto size = static_cast<std::size_t>(given.shape(0));
    if (size != extractor::checked_sum(pass.state_size(), Pass::record_size, Pass::foreign_state)) {
        throw py::value_error(Pass::foreign_state);
    }
    check_state_fits(pass);
    std::vector<double> values(size);
    const auto* bytes = static_cast<const unsigned char*>(given.data());
    for (std::size_t i = 0; i < size; ++i) {
        std::memcpy(&values[i], bytes + static_cast<py::ssize_t>(i) * given.strides(0),
                    sizeof(double));
    }
    extractor::ContinuousState carried = pass.unpacked(std::move(values));
    if (carried.samples_pushed != samples_pushed) {
        throw py::value_error(
            fmt::format("samples_pushed is {} but state is that of a pass after {} samples",
                        samples_pushed, carried.samples_pushed));
    }
    return carried;
}

// The state of a pass before its first sample, as an array.
inline py::array_t<double> initial_state_array(const extractor::FilterPass& pass) {
    check_state_fits(pass);
    return state_array(pass, pass.initial_state());
}

// The samples of a push, as the passes take them: a float64 or float32
// array of shape (n,) or (n, channels), any strides (TypeError otherwise).
inline py::array pushed_samples(const py::object& samples) {
    static constexpr const char* accepted =
        "samples must be a float64 or float32 NumPy array of shape (n,) or (n, channels)";
    if (!py::isinstance<py::array>(samples)) throw py::type_error(accepted);
    const auto array = py::reinterpret_borrow<py::array>(samples);
    const bool is_double = array.dtype().equal(py::dtype::of<double>());
    const bool is_single = array.dtype().equal(py::dtype::of<float>());
    if (!(is_double || is_single) || (array.ndim() != 1 && array.ndim() != 2)) {
        throw py::type_error(accepted);
    }
    return array;
}

// Those samples read in place, reduced per sample to one channel by the
// filterbank's on_channel (IndexError for a channel they lack).
class PushedSignal {
public:
    PushedSignal(const extractor::GammatoneFilterbank<double>& self, const py::array& array)
        : is_double(array.dtype().equal(py::dtype::of<double>())),
          as_double(self, data(array), channels(array), array.strides(0), channel_stride(array)),
          as_single(self, data(array), channels(array), array.strides(0), channel_stride(array)) {}

    // run(reader) with the reader of the samples' type.
    template <typename Run>
    void read(const Run& run) const {
        if (is_double) {
            run(as_double);
        } else {
            run(as_single);
        }
    }

private:
    static const unsigned char* data(const py::array& array) {
        return static_cast<const unsigned char*>(array.data());
    }
    static std::size_t channels(const py::array& array) {
        return array.ndim() == 2 ? static_cast<std::size_t>(array.shape(1)) : 1;
    }
    static py::ssize_t channel_stride(const py::array& array) {
        return array.ndim() == 2 ? array.strides(1) : 0;
    }

    const bool is_double;
    const extractor::StridedSignal<double> as_double;
    const extractor::StridedSignal<float> as_single;
};

// One push of `pass` (a ContinuousGammatone or a GammatoneBands) over the
// checked samples `array`, after `samples_pushed` samples whose pass left
// `state`. `result(carried, n)` makes the array the pass writes into.
// Returns it and the state after the push, a new array: the given one is
// never written, so a push that fails or is stopped leaves the caller's
// state as it was. The lock is released and Ctrl-C handled as in batch.
template <typename Pass, typename Result>
py::tuple run_push(const Pass& pass, const py::array& array, const py::object& state,
                   std::uint64_t samples_pushed, unsigned num_threads, const Result& result) {
    extractor::ContinuousState carried = state_of(pass, state, samples_pushed);
    const auto n = static_cast<std::size_t>(array.shape(0));
    const PushedSignal signal(pass.filterbank, array);
    py::array out = result(carried, n);
    auto* destination = static_cast<double*>(out.mutable_data());
    without_lock([&](const extractor::StopCheck& signal_raised) {
        signal.read([&](const auto& read) {
            pass.push(carried, n, read, destination, num_threads, signal_raised);
        });
    });
    return py::make_tuple(std::move(out), state_array(pass, carried));
}

}  // namespace tavik::python
