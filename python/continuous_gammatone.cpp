// GammatoneFilterbank.stream_state and stream_push: the core's continuous
// pass (extractor/continuous_gammatone.hpp) over NumPy arrays.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "extractor/checked_size.hpp"
#include "extractor/continuous_gammatone.hpp"
#include "python/bindings.hpp"
#include "python/docstrings.hpp"
#include "python/interpreter_exit.hpp"
#include "python/strict_int.hpp"

namespace tavik::python {

namespace {

using namespace tavik::extractor;  // the core's names, unqualified
using Filterbank = GammatoneFilterbank<double>;

// A state of a continuous pass as the 1-D float64 array that stream_state
// and stream_push return and stream_push takes: its values, then what it
// belongs to (ContinuousGammatone::packed).
py::array_t<double> state_array(const ContinuousGammatone& pass, const ContinuousState& state) {
    const std::vector<double> packed = pass.packed(state);
    py::array_t<double> out(static_cast<py::ssize_t>(packed.size()));
    std::memcpy(out.mutable_data(), packed.data(), packed.size() * sizeof(double));
    return out;
}

// The state that `state_array` gave, from an array of any stride; ValueError
// unless it belongs to this pass.
ContinuousState state_of(const ContinuousGammatone& pass, const py::object& state) {
    if (!py::isinstance<py::array_t<double>>(state)) {
        throw py::type_error("state must be the float64 array of an earlier push");
    }
    const auto given = py::reinterpret_borrow<py::array>(state);
    if (given.ndim() != 1 || !given.dtype().equal(py::dtype::of<double>())) {
        throw py::value_error(ContinuousGammatone::foreign_state);
    }
    const auto size = static_cast<std::size_t>(given.shape(0));
    if (size != checked_sum(pass.state_size(), ContinuousGammatone::record_size,
                            ContinuousGammatone::foreign_state)) {
        throw py::value_error(ContinuousGammatone::foreign_state);
    }
    std::vector<double> values(size);
    const auto* bytes = static_cast<const unsigned char*>(given.data());
    for (std::size_t i = 0; i < size; ++i) {
        std::memcpy(&values[i], bytes + static_cast<py::ssize_t>(i) * given.strides(0),
                    sizeof(double));
    }
    return pass.unpacked(std::move(values));
}

// The state of a continuous pass before its first sample.
py::array_t<double> stream_state(const Filterbank& self, Integer<std::size_t> hop) {
    const ContinuousGammatone pass(self, hop);
    return state_array(pass, pass.initial_state());
}

// One push of a continuous pass: the samples (float64 or float32, 1-D or
// (samples, channels), any strides) after `samples_pushed` samples whose
// pass left `state`. Returns the features of the frames it completes and
// the state after it, a new array: the given one is never written, so a
// push that fails or is stopped leaves the caller's state as it was. The
// lock is released and Ctrl-C handled as in batch.
py::tuple stream_push(const Filterbank& self, const py::object& samples,
                      Integer<std::size_t> hop, const py::object& state,
                      Integer<std::uint64_t> samples_pushed, Integer<int> requested_threads) {
    static constexpr const char* accepted =
        "samples must be a float64 or float32 NumPy array of shape (n,) or (n, channels)";
    const int num_threads = requested_threads;
    if (num_threads < 0) throw py::value_error("num_threads must not be negative");
    if (!py::isinstance<py::array>(samples)) throw py::type_error(accepted);
    const auto array = py::reinterpret_borrow<py::array>(samples);
    const bool is_double = array.dtype().equal(py::dtype::of<double>());
    const bool is_single = array.dtype().equal(py::dtype::of<float>());
    if (!(is_double || is_single) || (array.ndim() != 1 && array.ndim() != 2)) {
        throw py::type_error(accepted);
    }
    const ContinuousGammatone pass(self, hop);
    ContinuousState carried = state_of(pass, state);
    if (carried.samples_pushed != static_cast<std::uint64_t>(samples_pushed)) {
        throw py::value_error(fmt::format(
            "samples_pushed is {} but state is that of a pass after {} samples",
            static_cast<std::uint64_t>(samples_pushed), carried.samples_pushed));
    }
    const auto n = static_cast<std::size_t>(array.shape(0));
    const std::size_t channels = array.ndim() == 2 ? static_cast<std::size_t>(array.shape(1)) : 1;
    const py::ssize_t channel_stride = array.ndim() == 2 ? array.strides(1) : 0;
    const auto* data = static_cast<const unsigned char*>(array.data());
    const StridedSignal<double> as_double(self, data, channels, array.strides(0), channel_stride);
    const StridedSignal<float> as_single(self, data, channels, array.strides(0), channel_stride);

    const std::size_t rows = pass.frames_completed_by(carried, n);
    constexpr auto max_values = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double);
    if (self.num_features > max_values || (rows > 0 && self.num_features > max_values / rows)) {
        PyErr_SetString(PyExc_MemoryError, "The features of this push do not fit in memory");
        throw py::error_already_set();
    }
    py::array_t<double> out({rows, self.num_features});
    double* destination = out.mutable_data();
    const auto threads = static_cast<unsigned>(num_threads);

    without_lock([&](const StopCheck& signal_raised) {
        if (is_double) {
            pass.push(carried, n, as_double, destination, threads, signal_raised);
        } else {
            pass.push(carried, n, as_single, destination, threads, signal_raised);
        }
    });
    return py::make_tuple(std::move(out), state_array(pass, carried));
}

}  // namespace

void bind_continuous_gammatone(FilterbankClass& filterbank) {
    filterbank.def("stream_state", &stream_state, py::arg("hop"),
                   docstrings::filterbank_stream_state);
    filterbank.def("stream_push", &stream_push, py::arg("samples"), py::arg("hop"),
                   py::arg("state"), py::arg("samples_pushed"), py::arg("num_threads") = 0,
                   docstrings::filterbank_stream_push);
}

}  // namespace tavik::python
