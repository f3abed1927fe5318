// A Python callable held as a transform.
//
// The core copies the transform for every call and destroys the copy after
// it. pybind11's own wrapper of a Python callable takes the interpreter lock
// for every copy and destruction, and a daemon thread that takes the lock
// while the interpreter exits is ended there, which from a destructor ends
// the process. Here the callable is shared by reference count: copies and
// their destruction never touch the interpreter, and only the call itself
// takes the lock. The last owner is the extractor, destroyed with the lock
// held.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <pybind11/pybind11.h>

#include "python/interpreter_exit.hpp"

namespace tavik::python {

// A Python number as a double (a float, an int, anything with __float__ or
// __index__). An Exception from the conversion becomes TypeError(message);
// a BaseException that is not an Exception (KeyboardInterrupt, SystemExit)
// propagates as it is.
inline double as_number(pybind11::handle value, const char* message) {
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw pybind11::error_already_set();
        PyErr_Clear();
        throw pybind11::type_error(message);
    }
    return number;
}

// Python code that the module runs (a compute, a transform) may call the
// module again, recursing through native frames much larger than the
// interpreter's own. The nesting on each thread is counted, against the
// interpreter's limit and a fixed one that fits the stack of any thread, and
// ends in RecursionError ("maximum recursion depth exceeded" + where)
// instead of overflowing the stack. call() makes the Python call through
// the C API and returns its new reference, or nullptr with the exception
// set; it throws nothing of its own, so the count is always undone.
inline thread_local int python_call_depth = 0;

template <typename Call>
PyObject* nested_python_call(const char* where, const Call& call) {
    constexpr int max_depth = 32;
    if (python_call_depth >= max_depth) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw pybind11::error_already_set();
    }
    if (Py_EnterRecursiveCall(where) != 0) throw pybind11::error_already_set();
    ++python_call_depth;
    PyObject* result = call();
    --python_call_depth;
    Py_LeaveRecursiveCall();
    return result;
}

class PythonTransform {
public:
    explicit PythonTransform(pybind11::object callable)
        : callable_(new pybind11::object(std::move(callable)), release_with_lock) {}

    // The result converted as pybind11 converts a double, except that a
    // BaseException that is not an Exception (KeyboardInterrupt) raised by
    // the conversion propagates instead of becoming pybind11's cast error.
    // The Python code runs as in PyExtractor::compute: through the C API,
    // the references owned outside it, an ended thread parked.
    double operator()(double value) const {
        const ThreadLock lock;
        PythonReferences held;
        try {
            return park_if_ended([&] { return call(value, held); });
        } catch (pybind11::error_already_set& error) {
            throw PythonError(std::move(error));
        }
    }

    const pybind11::object& callable() const { return *callable_; }

private:
    double call(double value, PythonReferences& held) const {
        held.first = PyFloat_FromDouble(value);
        if (held.first == nullptr) throw pybind11::error_already_set();
        held.result = nested_python_call(" in a transform", [&] {
            return PyObject_CallOneArg(callable_->ptr(), held.first);
        });
        if (held.result == nullptr) throw pybind11::error_already_set();
        const double number = PyFloat_AsDouble(held.result);
        if (number == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw pybind11::error_already_set();
            PyErr_Clear();
            return pybind11::handle(held.result).template cast<double>();
        }
        return number;
    }

    static void release_with_lock(pybind11::object* callable) {
        const ThreadLock lock;
        delete callable;
    }

    std::shared_ptr<pybind11::object> callable_;
};

// The Python callable of a transform, or nullptr.
inline PyObject* transform_callable(const std::function<double(double)>& transform) {
    if (const PythonTransform* held = transform.target<PythonTransform>()) {
        return held->callable().ptr();
    }
    return nullptr;
}

}  // namespace tavik::python
