// The native transforms of the submodule _tavik.transforms, and the
// conversion of a `transform` argument between Python and the core's
// std::function<double(double)>.
//
// An instance of one of these classes given as `transform` is stored as its
// C++ function object inside the std::function, so applying it never enters
// the interpreter and `batch` scales with threads. Any other callable is
// stored as a wrapper that calls it, as before. Reading a transform back
// gives an equal instance of its class (the filterbank's default reads back
// as log10(floor=0.0)), or the Python callable that was given.
//
// This header replaces pybind11's conversion of std::function<double(double)>
// by a full specialisation of its type_caster, so it must be included before
// anything converts that type, in every translation unit that does.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include "extractor/transforms.hpp"
#include "python/docstrings.hpp"
#include "python/native_types.hpp"
#include "python/pybind11_internals.hpp"
#include "python/python_transform.hpp"

namespace tavik::extractor::native_transforms {

namespace py = pybind11;

using Transform = std::function<double(double)>;
using Identity = transforms::Identity<double>;
using Log10 = transforms::Log10<double>;
using Decibels = transforms::Decibels<double>;
using Power = transforms::Power<double>;

// The function object of a native transform, if `src` is an instance of one
// of the classes (they are final, so no Python subclass can override
// __call__ and be bypassed).
template <typename F>
bool load_one(py::handle src, Transform& value) {
    if (Py_TYPE(src.ptr()) != reinterpret_cast<PyTypeObject*>(py::type::of<F>().ptr())) {
        return false;
    }
    value = src.cast<const F&>();
    return true;
}

inline bool load_native(py::handle src, Transform& value) {
    return load_one<Log10>(src, value) || load_one<Identity>(src, value) ||
           load_one<Decibels>(src, value) || load_one<Power>(src, value);
}

// A new instance of the native transform's class that `f` holds, or None
// when it holds none.
inline py::object native_instance(const Transform& f) {
    if (const auto* t = f.target<Log10>()) return py::cast(*t);
    if (const auto* t = f.target<Identity>()) return py::cast(*t);
    if (const auto* t = f.target<Decibels>()) return py::cast(*t);
    if (const auto* t = f.target<Power>()) return py::cast(*t);
    return py::none();
}

// The stored transform as a Python object: None when empty, a new instance of
// a native transform's class, the Python callable that was given (itself: a
// wrapper around it would hold it where the cycle collector cannot see, and a
// cycle through the wrapper would never be freed), or (for anything else) a
// new native function that calls a copy of the std::function.
inline py::object to_python(const Transform& f) {
    if (!f) return py::none();
    if (PyObject* callable = transform_callable(f)) return py::reinterpret_borrow<py::object>(callable);
    py::object native = native_instance(f);
    return native.is_none() ? py::cpp_function(f) : native;
}

// How an extractor's repr shows its transform: a native transform by its own
// repr, a Python callable by the repr of the object that was given (kept a
// Python string: it may hold what UTF-8 cannot encode, a lone surrogate). A
// callable whose repr shows the extractor again (a bound method of the
// extractor itself) shows as "..." within its own repr, as Python's reprs of
// recursive containers do, instead of recursing to the interpreter's limit.
inline py::str repr(const Transform& f) {
    const py::object transform = to_python(f);
    const int entered = Py_ReprEnter(transform.ptr());
    if (entered < 0) throw py::error_already_set();
    if (entered > 0) return py::str("...");
    struct Leave {
        PyObject* object;
        ~Leave() { Py_ReprLeave(object); }
    } const leave{transform.ptr()};
    return py::repr(transform);
}

inline std::string float_repr(double value) { return py::repr(py::float_(value)); }

inline double not_nan(double value, const char* message) {
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
inline py::custom_type_setup own_layout() {
    return py::custom_type_setup(
        [](PyHeapTypeObject* heap_type) { native_types::pad_layout(heap_type, 1); });
}

inline void bind_transforms(py::module_& m) {
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

}  // namespace tavik::extractor::native_transforms

namespace pybind11::detail {

// The conversion of every `transform`: the stock conversion's rules (None is
// taken only in the pass with conversions, as an empty function; any other
// callable is accepted, anything else refused), with the native transforms
// recognised first and stored as themselves, and the same signature text.
template <>
struct type_caster<std::function<double(double)>> {
    PYBIND11_TYPE_CASTER(std::function<double(double)>,
                         const_name("collections.abc.Callable[[") +
                             inv_descr(make_caster<double>::name) + const_name("], ") +
                             make_caster<double>::name + const_name("]"));

    bool load(handle src, bool convert) {
        namespace transforms = tavik::extractor::native_transforms;
        if (src.is_none()) {
            if (!convert) return false;
            value = nullptr;
            return true;
        }
        if (transforms::load_native(src, value)) return true;
        if (!PyCallable_Check(src.ptr())) return false;
        // What pybind11's own conversion makes of a callable; the constructors
        // then hold the callable as a PythonTransform.
        value = tavik::pybind11_internals::wrap_python_function(reinterpret_borrow<function>(src));
        return true;
    }

    static handle cast(const std::function<double(double)>& f, return_value_policy, handle) {
        return tavik::extractor::native_transforms::to_python(f).release();
    }
};

}  // namespace pybind11::detail
