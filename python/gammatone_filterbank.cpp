// _tavik.extractor.GammatoneFilterbank and its Filter: the core's filterbank
// (extractor/gammatone_filterbank.hpp), with its design read back.
#include <array>
#include <cstddef>
#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "extractor/gammatone_filterbank.hpp"
#include "python/bindings.hpp"
#include "python/docstrings.hpp"
#include "python/introspection.hpp"
#include "python/native_types.hpp"
#include "python/pickle_support.hpp"
#include "python/pybind11_internals.hpp"
#include "python/strict_int.hpp"
#include "python/transforms.hpp"

namespace tavik::python {

namespace {

using namespace tavik::extractor;  // the core's names, unqualified
using Base = extractor::Extractor<double>;
using Filterbank = extractor::GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;

}  // namespace

void bind_gammatone_filterbank(py::module_& sub, py::handle metaclass) {
    py::class_<Filterbank, Base> filterbank(sub, "GammatoneFilterbank",
                                            native_types::native_type_setup(2),
                                            py::metaclass(metaclass),
                                            docstrings::filterbank_class);
    // The default transform, log10(floor=0.0), is native: it never enters
    // the interpreter. The filterbank is built before the frequency range is
    // warned about: a range that cannot be built at all is an error, not a
    // warning.
    filterbank.def(py::init([](Integer<std::size_t> num_samples, Integer<std::size_t> num_features,
                               Integer<int> sample_rate, std::function<double(double)> transform,
                               Integer<int> on_channel, double low_Hz, double high_Hz,
                               double temporal_integration) {
                       auto fb = std::make_unique<Filterbank>(
                           num_samples, num_features, sample_rate,
                           std::move(transform), on_channel, low_Hz, high_Hz,
                           temporal_integration);
                       introspection::check_frequency_range(sample_rate, low_Hz, high_Hz);
                       return fb;
                   }),
                   py::arg("num_samples") = 1024, py::arg("num_features") = 64,
                   py::arg("sample_rate") = 44100,
                   py::arg("transform") = native_transforms::Log10{0.0},
                   py::arg("on_channel") = -1, py::arg("low_Hz") = 50, py::arg("high_Hz") = 8000,
                   py::arg("temporal_integration") = 0, docstrings::filterbank_init);
    filterbank.def_property_readonly("filters", &introspection::filters,
                                     docstrings::filterbank_filters);
    filterbank.def_property_readonly("centre_frequencies", &introspection::centre_frequencies,
                                     docstrings::filterbank_centre_frequencies);
    filterbank.def_readonly("low_Hz", &Filterbank::low_Hz, docstrings::filterbank_low_Hz)
        .def_readonly("high_Hz", &Filterbank::high_Hz, docstrings::filterbank_high_Hz)
        .def_readonly("temporal_integration", &Filterbank::temporal_integration,
                      docstrings::filterbank_temporal_integration);
    bind_continuous_gammatone(filterbank);
    bind_gammatone_bands(filterbank);
    enable_pickling(filterbank);

    py::class_<Filter> filter(filterbank, "Filter", native_types::native_type_setup(1),
                              py::metaclass(metaclass),
                              docstrings::filter_class);
    filter.def(py::init<double, double, double, double, std::array<double, 5>>(), py::arg("cf"),
               py::arg("coscf"), py::arg("sincf"), py::arg("gain"), py::arg("a"),
               docstrings::filter_init)
        .def_readonly("cf", &Filter::cf, docstrings::filter_cf)
        .def_readonly("gain", &Filter::gain, docstrings::filter_gain)
        .def_readonly("a", &Filter::a, docstrings::filter_a);
    enable_pickling(filter);
    filter.def("__reduce_ex__", &native_types::reduce_ex, py::arg("protocol"),
               docstrings::reduce_ex);
    native_types::native_classes().push_back(reinterpret_cast<PyTypeObject*>(filterbank.ptr()));
    native_types::native_classes().push_back(reinterpret_cast<PyTypeObject*>(filter.ptr()));
    for (const char* initialiser : {"__init__", "__setstate__"}) {
        native_types::guard_initialiser(filterbank, initialiser);
        native_types::guard_initialiser(filter, initialiser);
    }
    pybind11_internals::refuse_uninitialised<Filterbank>();
    pybind11_internals::refuse_uninitialised<Filter>();
}

}  // namespace tavik::python
