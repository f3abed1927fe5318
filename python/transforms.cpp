// _tavik.transforms: the core's native transforms (extractor/transforms.hpp)
// as final Python classes that call, compare, hash, print and pickle.
#include <limits>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "python/bindings.hpp"
#include "python/docstrings.hpp"
#include "python/native_types.hpp"
#include "python/pybind11_internals.hpp"
#include "python/transforms.hpp"

namespace tavik::python {

using namespace native_transforms;

namespace {

double not_nan(double value, const char* message) {
    if (std::isnan(value)) throw std::invalid_argument(message);
    return value;
}

// __call__, __repr__, ==, hash and pickling (by __reduce__: the class and its
// one parameter, or none) for a transform class with at most one parameter.
template <typename F, typename Class>
void add_common(Class& cls, const char* name, const char* parameter, double F::*member) {
    cls.def(
        "__call__", [](const F& self, double x) { return self(x); }, py::arg("x"),
        docstrings::transform_call);
    cls.def(
        "__repr__",
        [name, parameter, member](const F& self) {
            std::string text = std::string(name) + "(";
            if (member != nullptr) text += std::string(parameter) + "=" + float_repr(self.*member);
            return text + ")";
        },
        docstrings::transform_repr);
    cls.def(
        "__eq__",
        [member](const F& self, const F& other) {
            return member == nullptr || self.*member == other.*member;
        },
        py::is_operator(), docstrings::transform_eq);
    cls.def(
        "__hash__",
        [name, member](const F& self) {
            // -0.0 and 0.0 compare equal and hash alike, as Python floats do.
            return py::hash(py::make_tuple(name, member == nullptr ? 0.0 : self.*member));
        },
        docstrings::transform_hash);
    cls.def(
        "__reduce__",
        [member](const py::object& self) {
            const F& f = self.cast<const F&>();
            py::tuple args = member == nullptr ? py::tuple() : py::make_tuple(f.*member);
            return py::make_tuple(py::type::of(self), args);
        },
        docstrings::transform_reduce);
}

// A layout of their own, as the other native classes have, so that CPython
// refuses to reinterpret one as another (__class__ assignment, a class
// deriving from two of them): an identity read as a power would read its
// exponent beyond the object.
py::custom_type_setup own_layout() {
    return py::custom_type_setup(
        [](PyHeapTypeObject* heap_type) { native_types::pad_layout(heap_type, 1); });
}

}  // namespace

void bind_transforms(py::module_& m) {
    py::module_ sub = m.def_submodule("transforms", docstrings::transforms_module);

    py::class_<Identity> identity(sub, "identity", py::is_final(), own_layout(),
                         docstrings::identity_class);
    identity.def(py::init<>(), docstrings::identity_init);
    add_common<Identity>(identity, "identity", "", nullptr);

    py::class_<Log10> log10(sub, "log10", py::is_final(), own_layout(),
                         docstrings::log10_class);
    log10.def(py::init([](double floor) { return Log10{not_nan(floor, "floor must not be NaN")}; }),
              py::arg("floor") = 0.0, docstrings::log10_init);
    log10.def_readonly("floor", &Log10::floor, docstrings::log10_floor);
    add_common<Log10>(log10, "log10", "floor", &Log10::floor);

    py::class_<Decibels> dB(sub, "dB", py::is_final(), own_layout(),
                         docstrings::dB_class);
    dB.def(py::init([](double floor_dB) {
               return Decibels{not_nan(floor_dB, "floor_dB must not be NaN")};
           }),
           py::arg("floor_dB") = -std::numeric_limits<double>::infinity(), docstrings::dB_init);
    dB.def_readonly("floor_dB", &Decibels::floor_dB, docstrings::dB_floor_dB);
    add_common<Decibels>(dB, "dB", "floor_dB", &Decibels::floor_dB);

    py::class_<Power> power(sub, "power", py::is_final(), own_layout(),
                         docstrings::power_class);
    power.def(py::init([](double exponent) {
                  return Power{not_nan(exponent, "exponent must not be NaN")};
              }),
              py::arg("exponent"), docstrings::power_init);
    power.def_readonly("exponent", &Power::exponent, docstrings::power_exponent);
    add_common<Power>(power, "power", "exponent", &Power::exponent);

    for (py::handle cls : {py::handle(identity), py::handle(log10), py::handle(dB), py::handle(power)}) {
        native_types::guard_initialiser(cls, "__init__");
    }

    pybind11_internals::refuse_uninitialised<Identity>();
    pybind11_internals::refuse_uninitialised<Log10>();
    pybind11_internals::refuse_uninitialised<Decibels>();
    pybind11_internals::refuse_uninitialised<Power>();
}


}  // namespace tavik::python
