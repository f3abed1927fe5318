// A Python callable held as a transform.
//
// The core copies the transform for every call and destroys the copy after
// it. pybind11's own wrapper of a Python callable takes the interpreter lock
// for every copy and destruction; in a worker thread of a batch, while the
// interpreter shuts down, taking the lock ends the thread by unwinding its
// stack, and doing so from the destructor of the copy ends the process. Here
// the callable is shared by reference count: copies and their destruction
// never touch the interpreter, and only the call itself takes the lock. The
// last owner is the extractor, destroyed with the lock held.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

namespace tavik::extractor {

class PythonTransform {
public:
    explicit PythonTransform(pybind11::object callable)
        : callable_(new pybind11::object(std::move(callable)), release_with_lock) {}

    double operator()(double value) const {
        pybind11::gil_scoped_acquire lock;
        return (*callable_)(value).template cast<double>();
    }

    const pybind11::object& callable() const { return *callable_; }

private:
    static void release_with_lock(pybind11::object* callable) {
        pybind11::gil_scoped_acquire lock;
        delete callable;
    }

    std::shared_ptr<pybind11::object> callable_;
};

// What pybind11's conversion made of a Python callable, with the callable
// held as a PythonTransform instead; anything else (no transform, a native
// function) unchanged. Called with the interpreter lock held.
inline std::function<double(double)> own_transform(std::function<double(double)> transform) {
    using Wrapper =
        pybind11::detail::type_caster_std_function_specializations::func_wrapper<double, double>;
    if (const Wrapper* wrapper = transform.target<Wrapper>()) {
        return PythonTransform(wrapper->hfunc.f);
    }
    return transform;
}

// The Python callable of a transform, or nullptr.
inline PyObject* transform_callable(const std::function<double(double)>& transform) {
    if (const PythonTransform* held = transform.target<PythonTransform>()) {
        return held->callable().ptr();
    }
    return nullptr;
}

}  // namespace tavik::extractor
