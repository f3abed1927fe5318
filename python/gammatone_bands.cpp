// GammatoneFilterbank.bands_state and bands_push: the core's band pass
// (extractor/gammatone_bands.hpp) over NumPy arrays.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "extractor/gammatone_bands.hpp"
#include "python/bindings.hpp"
#include "python/continuous_gammatone.hpp"
#include "python/docstrings.hpp"
#include "python/interpreter_exit.hpp"
#include "python/strict_int.hpp"

namespace tavik::python {

namespace {

using namespace tavik::extractor;  // the core's names, unqualified
using Filterbank = GammatoneFilterbank<double>;

// The state of a band pass before its first sample.
py::array_t<double> bands_state(const Filterbank& self, const std::string& output) {
    return initial_state_array(GammatoneBands(self, band_output_named(output)));
}

// One push of a band pass (run_push): every sample of every filter, a new
// (n, num_features) array of float64 (complex128 for the analytic signal).
py::tuple bands_push(const Filterbank& self, const py::object& samples, const std::string& output,
                     const py::object& state, Integer<std::uint64_t> samples_pushed,
                     Integer<int> requested_threads) {
    const int num_threads = requested_threads;
    if (num_threads < 0) throw py::value_error("num_threads must not be negative");
    const py::array array = pushed_samples(samples);
    const GammatoneBands pass(self, band_output_named(output));
    return run_push(pass, array, state, samples_pushed, static_cast<unsigned>(num_threads),
                    [&](const ContinuousState&, std::size_t n) {
                        const bool complex = pass.output == BandOutput::analytic;
                        check_result_size(n, self.num_features,
                                          complex ? 2 * sizeof(double) : sizeof(double),
                                          "The bands of this push do not fit in memory");
                        return py::array(py::dtype(complex ? "complex128" : "float64"),
                                         std::vector<py::ssize_t>{
                                             static_cast<py::ssize_t>(n),
                                             static_cast<py::ssize_t>(self.num_features)});
                    });
}

}  // namespace

void bind_gammatone_bands(FilterbankClass& filterbank) {
    filterbank.def("bands_state", &bands_state, py::arg("output") = "envelope",
                   docstrings::filterbank_bands_state);
    filterbank.def("bands_push", &bands_push, py::arg("samples"), py::arg("output"),
                   py::arg("state"), py::arg("samples_pushed"), py::arg("num_threads") = 0,
                   docstrings::filterbank_bands_push);
}

}  // namespace tavik::python
