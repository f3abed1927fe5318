// Integer arguments that accept exactly what can be an index: an int (bool
// included, being one) or an object with __index__ (NumPy's integer scalars).
// pybind11's own integer conversion also truncates any object with __int__
// (Decimal('-0.5') would become 0, silently reading channel 0 instead of the
// mean of channels); that is refused here like a float.
#pragma once

#include <utility>

#include <pybind11/pybind11.h>

namespace tavik::python {

template <typename T>
struct Integer {
    T value;
    operator T() const { return value; }
};

}  // namespace tavik::python

namespace pybind11::detail {

template <typename T>
struct type_caster<tavik::python::Integer<T>> {
    PYBIND11_TYPE_CASTER(tavik::python::Integer<T>, const_name("int"));

    bool load(handle src, bool) {
        if (!src || PyFloat_Check(src.ptr())) return false;
        object index;
        if (PyLong_Check(src.ptr())) {
            index = reinterpret_borrow<object>(src);
        } else if (PyIndex_Check(src.ptr())) {
            index = reinterpret_steal<object>(PyNumber_Index(src.ptr()));
            if (!index) {
                PyErr_Clear();
                return false;
            }
        } else {
            return false;
        }
        // Range checks of the plain conversion, without its truncating fallback.
        make_caster<T> integer;
        if (!integer.load(index, false)) return false;
        value.value = cast_op<T>(std::move(integer));
        return true;
    }

    static handle cast(const tavik::python::Integer<T>& src, return_value_policy policy,
                       handle parent) {
        return make_caster<T>::cast(src.value, policy, parent);
    }
};

}  // namespace pybind11::detail
