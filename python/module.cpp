// The _tavik extension module's entry point: each binding file registers
// the concept of the core it binds (python/bindings.hpp), in this order.
#include <pybind11/pybind11.h>

#include "python/bindings.hpp"
#include "python/docstrings.hpp"
#include "python/interpreter_exit.hpp"
#include "python/introspection.hpp"

namespace py = pybind11;

namespace {

void init_module(py::module_& m) {
    namespace binding = tavik::python;
    m.doc() = binding::docstrings::module_doc;
    binding::bind_lockstep_kernels(m);
    binding::bind_transforms(m);
    binding::register_python_error();
    m.attr("FrequencyRangeWarning") = binding::introspection::make_frequency_range_warning();
    binding::bind_extractor(m);
    binding::bind_cepstra(m);
    m.attr("__version__") = "0.0.7";
}

py::module_::module_def module_definition;

}  // namespace

// The entry point, as PYBIND11_MODULE writes it, with two additions:
// - A sub-interpreter is refused before pybind11 sets anything up: pybind11's
//   state and its lock handling belong to the main interpreter, and calls
//   from a sub-interpreter hung.
// - The module definition is marked as one that can be initialised again
//   (m_size 0), so that every interpreter that imports the module calls this
//   function, and is refused here, instead of receiving a copy of the main
//   interpreter's module. A second import in the main interpreter receives
//   the module made by the first.
// PYBIND11_MODULE's py::multiple_interpreters::not_supported() does not
// replace this: it sets the Py_mod_multiple_interpreters slot, which exists
// from CPython 3.12 on only (3.10 and 3.11 would import the module into a
// sub-interpreter) and refuses with CPython's own message instead of this one.
extern "C" PYBIND11_EXPORT PyObject* PyInit__tavik() {
    PYBIND11_CHECK_PYTHON_VERSION
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "_tavik cannot be imported into a sub-interpreter: it supports the main "
                        "interpreter only");
        return nullptr;
    }
    static PyObject* made = nullptr;
    if (made != nullptr) return Py_NewRef(made);
    PYBIND11_ENSURE_INTERNALS_READY
    auto m = py::module_::create_extension_module("_tavik", nullptr, &module_definition);
    module_definition.m_size = 0;
    try {
        init_module(m);
        made = Py_NewRef(m.ptr());
        return m.ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}
