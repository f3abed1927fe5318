// What an extractor shows of itself at the prompt: its repr, the filterbank's
// filters and centre frequencies, and the warning about a frequency range
// that reaches beyond what the sample rate can represent.
#pragma once

#include <cstddef>
#include <string>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "extractor/extractor.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "python/docstrings.hpp"
#include "python/transforms.hpp"

namespace tavik::python {

using namespace tavik::extractor;  // the core's names, unqualified

// The list that `filters` returns. A list in every respect; its own type only
// gives the signature text the Python name of the element class, which is
// registered after `filters` and so is not yet known when `filters` is.
class FilterList : public pybind11::list {
public:
    PYBIND11_OBJECT_DEFAULT(FilterList, pybind11::list, PyList_Check)
};

}  // namespace tavik::python

namespace pybind11::detail {
template <>
struct handle_type_name<tavik::python::FilterList> {
    static constexpr auto name = const_name("list[_tavik.extractor.GammatoneFilterbank.Filter]");
};
}  // namespace pybind11::detail

namespace tavik::python::introspection {

namespace py = pybind11;

// The Python object that holds `native`: pybind11 keeps a table of the
// objects it made, and a cast by reference finds the existing one there.
template <typename T>
py::object owner(const T& native) {
    return py::cast(&native, py::return_value_policy::reference);
}

using native_transforms::float_repr;  // the repr Python gives a float

// "GammatoneFilterbank(num_samples=1024, ..., temporal_integration=0.0)", with
// the name of the object's own class (a subclass shows its own). Put
// together as a Python string: the class's name and the transform's repr
// may hold what UTF-8 cannot encode (a lone surrogate).
inline py::str repr(const Extractor<double>& e) {
    const py::str name(py::type::handle_of(owner(e)).attr("__name__"));
    const std::string head =
        fmt::format("(num_samples={}, num_features={}, sample_rate={}, transform=", e.num_samples,
                    e.num_features, e.sample_rate);
    std::string tail = fmt::format(", on_channel={}", e.on_channel);
    if (const auto* fb = dynamic_cast<const GammatoneFilterbank<double>*>(&e)) {
        tail += fmt::format(", low_Hz={}, high_Hz={}, temporal_integration={}",
                            float_repr(fb->low_Hz), float_repr(fb->high_Hz),
                            float_repr(fb->temporal_integration));
    }
    return py::str("{}{}{}{})").format(name, head, native_transforms::repr(e.transform), tail);
}

// A new list of the filterbank's records; each element refers to its record
// and keeps the filterbank alive, as reference_internal does for the elements
// of a returned container.
inline FilterList filters(const GammatoneFilterbank<double>& fb) {
    const py::object parent = owner(fb);
    FilterList list;
    for (const auto& f : fb.filters) {
        list.append(py::cast(&f, py::return_value_policy::reference_internal, parent));
    }
    return list;
}

// A copy, so that nothing written to it reaches the filterbank.
inline py::array_t<double> centre_frequencies(const GammatoneFilterbank<double>& fb) {
    py::array_t<double> out(static_cast<py::ssize_t>(fb.filters.size()));
    double* data = out.mutable_data();
    for (std::size_t i = 0; i < fb.filters.size(); ++i) data[i] = fb.filters[i].cf;
    return out;
}

// The warning category, a UserWarning subclass, created once with the module.
inline py::handle& frequency_range_warning() {
    static py::handle category;
    return category;
}

inline py::object make_frequency_range_warning() {
    PyObject* category = PyErr_NewExceptionWithDoc(
        "_tavik.FrequencyRangeWarning", docstrings::frequency_range_warning, PyExc_UserWarning,
        nullptr);
    if (category == nullptr) throw py::error_already_set();
    // The module's attribute holds one reference; this one is kept for the
    // life of the process, so that the category outlives any module teardown.
    frequency_range_warning() = py::handle(category).inc_ref();
    return py::reinterpret_steal<py::object>(category);
}

inline void warn(const std::string& message) {
    if (PyErr_WarnEx(frequency_range_warning().ptr(), message.c_str(), 1) != 0) {
        throw py::error_already_set();  // the warning is an error here
    }
}

// Filters centred above the Nyquist frequency alias, below 0 Hz they mean
// nothing; the filterbank is built all the same, since callers may rely on it.
inline void check_frequency_range(int sample_rate, double low_Hz, double high_Hz) {
    const double nyquist = static_cast<double>(sample_rate) / 2.0;
    if (high_Hz > nyquist) {
        warn(fmt::format(
            "high_Hz={} is above the Nyquist frequency, {} Hz at sample_rate={}: the filters "
            "centred above it alias",
            float_repr(high_Hz), float_repr(nyquist), sample_rate));
    }
    if (low_Hz < 0.0) {
        warn(fmt::format("low_Hz={} is below 0 Hz: filters are centred at negative frequencies",
                         float_repr(low_Hz)));
    }
}

}  // namespace tavik::python::introspection
