// GammatoneFilterbank.stream_state and stream_push: the core's continuous
// pass (extractor/continuous_gammatone.hpp) over NumPy arrays.
#include <cstddef>
#include <cstdint>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "extractor/continuous_gammatone.hpp"
#include "python/bindings.hpp"
#include "python/continuous_gammatone.hpp"
#include "python/docstrings.hpp"
#include "python/interpreter_exit.hpp"
#include "python/strict_int.hpp"

namespace tavik::python {

namespace {

using namespace tavik::extractor;  // the core's names, unqualified
using Filterbank = GammatoneFilterbank<double>;

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
    const int num_threads = requested_threads;
    if (num_threads < 0) throw py::value_error("num_threads must not be negative");
    const py::array array = pushed_samples(samples);
    const ContinuousGammatone pass(self, hop);
    ContinuousState carried = state_of(pass, state, samples_pushed);
    const auto n = static_cast<std::size_t>(array.shape(0));
    const PushedSignal signal(self, array);

    const std::size_t rows = pass.frames_completed_by(carried, n);
    check_result_size(rows, self.num_features, sizeof(double),
                      "The features of this push do not fit in memory");
    py::array_t<double> out({rows, self.num_features});
    double* destination = out.mutable_data();
    const auto threads = static_cast<unsigned>(num_threads);

    without_lock([&](const StopCheck& signal_raised) {
        signal.read([&](const auto& read) {
            pass.push(carried, n, read, destination, threads, signal_raised);
        });
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
