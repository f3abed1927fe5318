// Native threads and the interpreter's exit.
//
// While the interpreter exits, a thread other than the exiting one that
// wants the interpreter lock back never gets it: CPython up to 3.13 ends the
// thread with pthread_exit, which unwinds its stack (a forced unwind);
// CPython 3.14 and later hold it there forever. Unwinding through this
// module's frames would release Python references without the lock while the
// exiting thread runs Python code, and unwinding into a catch handler or a
// noexcept function ends the process. So:
// - every call that takes the lock back, or runs Python code that may release
//   and take it again, runs inside `park_if_ended`, with every Python
//   reference it holds owned outside of it: a thread ended there sleeps,
//   without the lock, until the process has exited, as 3.14 holds it;
// - helper threads of this module run native code only and never take the
//   lock: Python code (a compute, a transform) runs on the calling thread;
// - a Python exception carried out of Python code (PythonError) is released
//   only with the lock held, never by taking it.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <pybind11/pybind11.h>

#include "extractor/frame_batch.hpp"

namespace tavik::python {

using namespace tavik::extractor;  // the core's names, unqualified

// Whether the interpreter is exiting (or has exited): from then on only the
// exiting thread can take the lock.
inline bool interpreter_exiting() {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsInitialized() || Py_IsFinalizing();
#else
    return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

// Sleeps, without the lock, until the process has exited.
[[noreturn]] inline void park_until_exit() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Runs call(); a thread that the exiting interpreter ends inside it is parked
// there instead of unwound. Nothing that call() itself owns may hold a Python
// reference (such an owner would be destroyed by the unwinding, before the
// thread is parked); callers keep those outside, in PythonReferences.
template <typename Call>
decltype(auto) park_if_ended(Call&& call) {
#if defined(__GLIBCXX__)
    try {
        return call();
    } catch (const abi::__forced_unwind&) {
        park_until_exit();
    }
#else
    return call();
#endif
}

// Takes the lock back after PyEval_SaveThread.
inline void take_lock_back(PyThreadState* saved) {
    park_if_ended([saved] { PyEval_RestoreThread(saved); });
}

// Runs work(stop_check) with the interpreter lock released. stop_check takes
// the lock back for a moment to run the Python signal handlers and answers
// whether one raised (Ctrl-C); that exception is raised here once work has
// returned. The lock is taken back outside of any catch handler: a thread
// ended there by the exiting interpreter would end the process.
template <typename Work>
void without_lock(const Work& work) {
    PyThreadState* saved = PyEval_SaveThread();
    PyObject *signal_type = nullptr, *signal_value = nullptr, *signal_traceback = nullptr;
    const StopCheck signal_raised = [&]() {
        take_lock_back(saved);
        const bool raised = PyErr_CheckSignals() != 0;
        if (raised) PyErr_Fetch(&signal_type, &signal_value, &signal_traceback);
        saved = PyEval_SaveThread();
        return raised;
    };
    std::exception_ptr failure;
    try {
        work(signal_raised);
#if defined(__GLIBCXX__)
    } catch (const abi::__forced_unwind&) {
        // Python code on this thread found the interpreter exiting; the
        // batch's helpers have been joined.
        park_until_exit();
#endif
    } catch (...) {
        failure = std::current_exception();
    }
    take_lock_back(saved);
    if (failure) {
        Py_XDECREF(signal_type);
        Py_XDECREF(signal_value);
        Py_XDECREF(signal_traceback);
        std::rethrow_exception(failure);
    }
    if (signal_type != nullptr) {
        PyErr_Restore(signal_type, signal_value, signal_traceback);
        throw pybind11::error_already_set();
    }
}

// Pauses for a long run of work that holds the lock on the calling thread (a
// Python transform applied row after row): called between its steps, about
// every stop_check_interval it lets the other Python threads run for a
// moment and runs the signal handlers, raising what they raise (Ctrl-C), as
// a batch does between frames. A transform written in C (math.sqrt) never
// enters the interpreter's loop, which would otherwise do both.
class LockHeldPauses {
public:
    void operator()() {
        if (std::chrono::steady_clock::now() < next_) return;
        take_lock_back(PyEval_SaveThread());
        if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
        next_ = std::chrono::steady_clock::now() + stop_check_interval;
    }

private:
    std::chrono::steady_clock::time_point next_ =
        std::chrono::steady_clock::now() + stop_check_interval;
};

// The interpreter lock for the scope, on a thread that runs Python code
// (the calling thread of a push applying a Python transform, which released
// the lock for the native work): taken back, or counted again when held.
class ThreadLock {
public:
    ThreadLock() : state_(park_if_ended([] { return PyGILState_Ensure(); })) {}
    ~ThreadLock() { PyGILState_Release(state_); }
    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;

private:
    PyGILState_STATE state_;
};

// Strong references owned outside the code that runs Python (see
// park_if_ended), released when the scope ends, with the lock held.
struct PythonReferences {
    PyObject* self = nullptr;
    PyObject* call = nullptr;
    PyObject* first = nullptr;
    PyObject* second = nullptr;
    PyObject* result = nullptr;
    PyObject* item = nullptr;
    PythonReferences() = default;
    PythonReferences(const PythonReferences&) = delete;
    PythonReferences& operator=(const PythonReferences&) = delete;
    ~PythonReferences() {
        Py_XDECREF(self);
        Py_XDECREF(call);
        Py_XDECREF(first);
        Py_XDECREF(second);
        Py_XDECREF(result);
        Py_XDECREF(item);
    }
};

// A Python exception raised by Python code that a native caller runs (a
// compute, a transform), carried to the thread that reports it. Copies share
// it; the last one releases it with the lock held where it is destroyed, or
// later on the main thread (a pending call) where it is not; once the
// interpreter exits it is left to the process.
class PythonError : public std::exception {
public:
    explicit PythonError(pybind11::error_already_set&& error)
        : error_(new pybind11::error_already_set(std::move(error)), release) {}

    const char* what() const noexcept override { return "Python exception"; }

    // Sets it as the current Python exception; with the lock held.
    void restore() const { error_->restore(); }

private:
    static int release_now(void* error) {
        delete static_cast<pybind11::error_already_set*>(error);
        return 0;
    }
    static void release(pybind11::error_already_set* error) {
        if (interpreter_exiting()) return;
        if (PyGILState_Check()) {
            delete error;
        } else {
            Py_AddPendingCall(&release_now, error);  // left to the process if the queue is full
        }
    }

    std::shared_ptr<pybind11::error_already_set> error_;
};

// Sets the Python exception of a PythonError that reaches Python.
inline void register_python_error() {
    pybind11::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const PythonError& error) {
            error.restore();
        }
    });
}

}  // namespace tavik::python
