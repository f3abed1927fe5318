// The conversion of a `transform` argument between Python and the core's
// std::function<double(double)>: an instance of a native transform of
// _tavik.transforms (transforms.cpp) is stored as its C++ function object,
// so applying it never enters the interpreter and `batch` scales with
// threads; any other callable is held as a PythonTransform. Reading a
// transform back gives an equal instance of its class (the filterbank's
// default reads back as log10(floor=0.0)), or the Python callable that was
// given. Every file that converts a transform includes this header.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include "extractor/transforms.hpp"
#include "python/python_transform.hpp"

namespace tavik::python::native_transforms {

using namespace tavik::extractor;  // the core's names, unqualified

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

}  // namespace tavik::python::native_transforms

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
        namespace transforms = tavik::python::native_transforms;
        if (src.is_none()) {
            if (!convert) return false;
            value = nullptr;
            return true;
        }
        if (transforms::load_native(src, value)) return true;
        if (!PyCallable_Check(src.ptr())) return false;
        value = tavik::python::PythonTransform(reinterpret_borrow<object>(src));
        return true;
    }

    static handle cast(const std::function<double(double)>& f, return_value_policy, handle) {
        return tavik::python::native_transforms::to_python(f).release();
    }
};

}  // namespace pybind11::detail
