// The extractor through which a Python subclass of Extractor supplies compute.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "extractor/extractor.hpp"
#include "python/interpreter_exit.hpp"
#include "python/python_transform.hpp"

namespace tavik::python {

using namespace tavik::extractor;  // the core's names, unqualified

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
        // Called with the lock held, on the calling thread only. Every
        // reference is owned here, outside the code that runs Python (see
        // park_if_ended), and released with the lock still held.
        PythonReferences held;
        Features carried(features.size());
        try {
            park_if_ended([&] { call_python_compute(input, features, held, carried); });
        } catch (py::error_already_set& error) {
            throw PythonError(std::move(error));
        }
        std::copy(carried.begin(), carried.end(), features.begin());
    }

private:
    // Calls the Python method compute(input, features) with two new lists,
    // the lock held, and reads what it produced into `carried`. Python code
    // runs only through the C API here, with every reference in `held`.
    void call_python_compute(const Frame& input, Features& features, PythonReferences& held,
                             Features& carried) const {
        namespace py = pybind11;
        held.call = python_compute(held);
        if (held.call == nullptr) {
            py::pybind11_fail("Tried to call pure virtual function \"Extractor::compute\"");
        }
        held.first = py::cast(input).release().ptr();
        held.second = py::cast(features).release().ptr();
        held.result = nested_python_call(" in Extractor.compute", [&] {
            return PyObject_CallFunctionObjArgs(held.call, held.first, held.second, nullptr);
        });
        if (held.result == nullptr) throw py::error_already_set();

        PyObject* produced = held.second;
        if (held.result != Py_None) {
            const py::handle result(held.result);
            if (!py::isinstance<py::sequence>(result) || py::isinstance<py::str>(result) ||
                py::isinstance<py::bytes>(result)) {
                throw py::type_error("compute must return None or a sequence of numbers");
            }
            produced = held.result;
        }
        const Py_ssize_t count = PySequence_Size(produced);
        if (count < 0) throw py::error_already_set();
        if (static_cast<std::size_t>(count) != features.size()) {
            throw py::value_error(fmt::format("compute produced {} features, expected {}", count,
                                              features.size()));
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_CLEAR(held.item);
            held.item = PySequence_GetItem(produced, i);
            if (held.item == nullptr) throw py::error_already_set();
            carried[static_cast<std::size_t>(i)] =
                as_number(held.item, "compute produced a feature that is not a number");
        }
    }

    // The compute of the Python object, looked up like any attribute.
    // pybind11's own override lookup also inspects the calling frame and
    // returns nothing when the caller is a function named compute whose first
    // argument is this object (taking it for the override calling its base),
    // which made the answer depend on who called.
    // A new reference, or nullptr for none; the object's own reference
    // goes to `held`.
    PyObject* python_compute(PythonReferences& held) const {
        namespace py = pybind11;
        // Its Python object owns this one, so the cast finds that object
        // (pybind11 registers every instance it owns by address).
        held.self = py::cast(static_cast<const Extractor<double>*>(this),
                             py::return_value_policy::reference)
                        .release()
                        .ptr();
        // No compute, or one that fails to be read (an Exception), is the
        // missing override; anything else (KeyboardInterrupt) propagates.
        PyObject* method = PyObject_GetAttrString(held.self, "compute");
        if (method == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
            PyErr_Clear();
            return nullptr;
        }
        if (method == Py_None) {
            Py_DECREF(method);
            return nullptr;
        }
        return method;
    }
};

}  // namespace tavik::python
