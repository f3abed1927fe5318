// The _tavik extension module: registers the extractors of the core with
// their Python names, argument names, defaults and conversions.
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "extractor/extractor.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "python/py_extractor.hpp"

namespace py = pybind11;

namespace tavik::extractor {

namespace {

using Base = Extractor<double>;
using Filterbank = GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;

double identity(double x) { return x; }

void bind_gammatone_filterbank(py::module_& sub) {
    py::class_<Filterbank, Base> filterbank(sub, "GammatoneFilterbank");
    // A plain function pointer marked stateless: the callable conversion
    // stores the pointer itself, so the default transform never enters the
    // interpreter.
    py::cpp_function log10_default(static_cast<double (*)(double)>(&std::log10));
    filterbank.def(py::init<std::size_t, std::size_t, int, std::function<double(double)>, int,
                            double, double, double>(),
                   py::arg("num_samples") = 1024, py::arg("num_features") = 64,
                   py::arg("sample_rate") = 44100, py::arg("transform") = log10_default,
                   py::arg("on_channel") = -1, py::arg("low_Hz") = 50, py::arg("high_Hz") = 8000,
                   py::arg("temporal_integration") = 0);
    // Each element refers to its record inside the filterbank and keeps the
    // filterbank alive (reference_internal on the list's elements).
    filterbank.def_property_readonly(
        "filters", [](const Filterbank& self) -> const std::vector<Filter>& { return self.filters; },
        py::return_value_policy::reference_internal);

    py::class_<Filter>(filterbank, "Filter")
        .def(py::init<double, double, double, double, std::array<double, 5>>(), py::arg("cf"),
             py::arg("coscf"), py::arg("sincf"), py::arg("gain"), py::arg("a"))
        .def_readonly("cf", &Filter::cf)
        .def_readonly("gain", &Filter::gain)
        .def_readonly("a", &Filter::a);
}

}  // namespace

void bind_extractor(py::module_& m) {
    py::module_ sub = m.def_submodule("extractor");

    py::class_<Base, PyExtractor> extractor(sub, "Extractor");
    // A capture-less function object rather than a plain function pointer:
    // it is stored as a Python callable, like any transform given from Python.
    py::cpp_function identity_default([](double x) { return identity(x); });
    extractor.def(py::init<std::size_t, std::size_t, int, std::function<double(double)>, int>(),
                  py::arg("num_samples") = 1024, py::arg("num_features") = 64,
                  py::arg("sample_rate") = 44100, py::arg("transform") = identity_default,
                  py::arg("on_channel") = -1);
    extractor.def("__call__", py::overload_cast<const Base::Frame&>(&Base::operator(), py::const_),
                  py::arg("input").noconvert());
    extractor.def("__call__",
                  py::overload_cast<Base::MatrixView>(&Base::operator(), py::const_),
                  py::arg("input").noconvert());
    extractor.def_readonly("num_samples", &Base::num_samples)
        .def_readonly("num_features", &Base::num_features)
        .def_readonly("sample_rate", &Base::sample_rate)
        .def_readonly("transform", &Base::transform)
        .def_readonly("on_channel", &Base::on_channel);

    bind_gammatone_filterbank(sub);
}

}  // namespace tavik::extractor

PYBIND11_MODULE(_tavik, m) {
    m.doc() = "\n        Tavik library \n    ";
    tavik::extractor::bind_extractor(m);
    m.attr("__version__") = "0.0.7";
}
