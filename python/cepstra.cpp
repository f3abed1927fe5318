// The submodule _tavik.cepstra: the core's orthonormal DCT-II over the rows
// of a float64 array (extractor/cepstra.hpp). tavik.gfcc checks and converts
// its arguments, then calls this.
#include <cstddef>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "extractor/cepstra.hpp"
#include "python/bindings.hpp"
#include "python/docstrings.hpp"
#include "python/interpreter_exit.hpp"

namespace tavik::python {

namespace {

namespace py = pybind11;

py::array_t<double> dct_rows(const py::object& features, std::size_t num_ceps) {
    static constexpr const char* accepted =
        "features must be a C-contiguous 2-D float64 NumPy array";
    if (!py::isinstance<py::array>(features)) throw py::type_error(accepted);
    const auto array = py::reinterpret_borrow<py::array>(features);
    if (!array.dtype().equal(py::dtype::of<double>()) || array.ndim() != 2 ||
        !(array.flags() & py::array::c_style)) {
        throw py::type_error(accepted);
    }
    const auto rows = static_cast<std::size_t>(array.shape(0));
    const auto n = static_cast<std::size_t>(array.shape(1));
    try {
        const extractor::cepstra::Dct dct(n, num_ceps);
        py::array_t<double> out({rows, num_ceps});
        const auto* data = static_cast<const double*>(array.data());
        double* destination = out.mutable_data();
        without_lock([&](const extractor::StopCheck&) { dct.apply_rows(data, rows, n, destination); });
        return out;
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
}

}  // namespace

void bind_cepstra(py::module_& m) {
    py::module_ sub = m.def_submodule("cepstra", docstrings::cepstra_module);
    sub.def("dct_rows", &dct_rows, py::arg("features"), py::arg("num_ceps").noconvert(),
            docstrings::dct_rows);
}

}  // namespace tavik::python
