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
    return initial_state_array(ContinuousGammatone(self, hop));
}

// One push of a continuous pass (run_push): the features of the frames that
// the samples complete, a new (k, num_features) float64 array.
py::tuple stream_push(const Filterbank& self, const py::object& samples,
                      Integer<std::size_t> hop, const py::object& state,
                      Integer<std::uint64_t> samples_pushed, Integer<int> requested_threads) {
    const int num_threads = requested_threads;
    if (num_threads < 0) throw py::value_error("num_threads must not be negative");
    const py::array array = pushed_samples(samples);
    const ContinuousGammatone pass(self, hop);
    return run_push(pass, array, state, samples_pushed, static_cast<unsigned>(num_threads),
                    [&](const ContinuousState& carried, std::size_t n) -> py::array {
                        const std::size_t rows = pass.frames_completed_by(carried, n);
                        check_result_size(rows, self.num_features, sizeof(double),
                                          "The features of this push do not fit in memory");
                        return py::array_t<double>({rows, self.num_features});
                    });
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
