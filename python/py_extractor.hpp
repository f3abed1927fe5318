// The extractor through which a Python subclass of Extractor supplies compute.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "extractor/extractor.hpp"

namespace tavik::extractor {

class PyExtractor : public Extractor<double> {
public:
    using Extractor<double>::Extractor;
    using Extractor<double>::compute;

    ~PyExtractor() override = default;

    // Calls the Python method compute(input, features) with two new lists.
    // The method either fills the second list in place and returns None, or
    // returns a sequence of features. Either way the features are checked in
    // full before any reaches `features`, so a failure leaves it as it was.
    void compute(const Frame& input, Features& features) const override {
        namespace py = pybind11;
        py::gil_scoped_acquire gil;
        py::object override = python_compute();
        if (!override) {
            py::pybind11_fail("Tried to call pure virtual function \"Extractor::compute\"");
        }
        py::list input_list = py::cast(input);
        py::list feature_list = py::cast(features);
        // A compute that calls its own extractor recurses through native
        // frames, much larger than the interpreter's own: the nesting is
        // counted here, against the interpreter's limit and a fixed one that
        // fits the stack of any thread, and ends in RecursionError instead of
        // overflowing the stack.
        if (compute_depth >= max_compute_depth) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded in Extractor.compute");
            throw py::error_already_set();
        }
        if (Py_EnterRecursiveCall(" in Extractor.compute") != 0) throw py::error_already_set();
        ++compute_depth;
        py::object result;
        try {
            result = override(input_list, feature_list);
        } catch (...) {
            --compute_depth;
            Py_LeaveRecursiveCall();
            throw;
        }
        --compute_depth;
        Py_LeaveRecursiveCall();

        py::object produced;
        if (result.is_none()) {
            produced = feature_list;
        } else if (py::isinstance<py::sequence>(result) && !py::isinstance<py::str>(result) &&
                   !py::isinstance<py::bytes>(result)) {
            produced = result;
        } else {
            throw py::type_error("compute must return None or a sequence of numbers");
        }
        const auto sequence = py::reinterpret_borrow<py::sequence>(produced);
        const std::size_t count = sequence.size();
        if (count != features.size()) {
            throw py::value_error(fmt::format("compute produced {} features, expected {}", count,
                                              features.size()));
        }
        Features carried(count);
        for (std::size_t i = 0; i < count; ++i) {
            carried[i] = as_number(sequence[i], "compute produced a feature that is not a number");
        }
        std::copy(carried.begin(), carried.end(), features.begin());
    }

private:
    // Python computes running on this thread's stack, one inside the other.
    static constexpr int max_compute_depth = 32;
    static inline thread_local int compute_depth = 0;

    // The compute of the Python object, looked up like any attribute.
    // pybind11's own override lookup also inspects the calling frame and
    // returns nothing when the caller is a function named compute whose first
    // argument is this object (taking it for the override calling its base),
    // which made the answer depend on who called, and in a batch on which
    // thread took which frame.
    pybind11::object python_compute() const {
        namespace py = pybind11;
        const py::handle self = py::detail::get_object_handle(
            static_cast<const Extractor<double>*>(this),
            py::detail::get_type_info(typeid(Extractor<double>)));
        if (!self) return py::object();
        // No compute, or one that fails to be read (an Exception), is the
        // missing override; anything else (KeyboardInterrupt) propagates.
        PyObject* method = PyObject_GetAttrString(self.ptr(), "compute");
        if (method == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
            PyErr_Clear();
            return py::object();
        }
        if (method == Py_None) {
            Py_DECREF(method);
            return py::object();
        }
        return py::reinterpret_steal<py::object>(method);
    }
};

}  // namespace tavik::extractor
