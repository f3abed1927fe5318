// How the native classes behave as Python types, beyond what pybind11 sets
// up by itself: garbage collection of what they hold, no reinterpretation
// of one native object as another, pickling under every protocol, and
// guarded base-class initialisers.
//
// The collector's hooks need the native part of an instance and the objects
// pybind11 keeps alive for it, which no public API reaches: they go through
// python/pybind11_internals.hpp.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <typeinfo>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include "extractor/extractor.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "python/pybind11_internals.hpp"
#include "python/python_transform.hpp"

namespace tavik::python::native_types {

using namespace tavik::extractor;  // the core's names, unqualified

namespace py = pybind11;

// The constructed extractor inside `self`, or nullptr (not laid out yet,
// made by __new__ alone, already cleared, or not an extractor). The
// extractor's Python type is set once, as the module registers it (none
// before), never looked up by the collector.
inline PyTypeObject*& extractor_type() {
    static PyTypeObject* type = nullptr;
    return type;
}

inline const Extractor<double>* constructed_extractor(PyObject* self) {
    if (extractor_type() == nullptr) return nullptr;
    const auto part = pybind11_internals::native_part(self, extractor_type());
    if (!part || part->object == nullptr) return nullptr;
    if (part->type == typeid(GammatoneFilterbank<double>)) {
        return static_cast<const GammatoneFilterbank<double>*>(part->object);
    }
    return part->type == typeid(Extractor<double>)
               ? static_cast<const Extractor<double>*>(part->object)
               : nullptr;
}

extern "C" inline int traverse_native(PyObject* self, visitproc visit, void* arg) {
    // A heap type's instances own a reference to their type.
    Py_VISIT(Py_TYPE(self));
    // The object is tracked by the collector from its allocation on, but
    // pybind11 lays out its native part only afterwards, and asks for the
    // type's native bases in between, which may run a collection: until the
    // layout is set there is nothing else to visit.
    if (const Extractor<double>* extractor = constructed_extractor(self)) {
        Py_VISIT(transform_callable(extractor->transform));
    }
    return pybind11_internals::visit_kept_alive(self, visit, arg);
}

// Breaks a cycle by destroying the native part, as deallocation would, and
// dropping what is kept alive. An object reached again afterwards (by a
// finaliser of the same cycle) counts as uninitialised: methods raise
// TypeError instead of touching freed memory.
extern "C" inline int clear_native(PyObject* self) {
    pybind11_internals::clear_native_part(self);
    return 0;
}

// CPython lets __class__ be assigned between classes of identical layout,
// and lets a class derive from several bases of identical layout. Every
// pybind11 class has the same layout, so an Extractor could be reinterpreted
// as a Filter, or a class derive from both, and one native object be read
// as the other. Giving each native class a layout of its own, `slots`
// pointer-sized slots beyond its base (more than its native base has), makes
// CPython refuse both with TypeError.
inline void pad_layout(PyHeapTypeObject* heap_type, int slots) {
    heap_type->ht_type.tp_basicsize += static_cast<Py_ssize_t>(slots * sizeof(void*));
}

// The metaclass of the native classes that Python code may subclass:
// pybind11's own, whose deallocation of a class also forgets what pybind11
// cached about it (see forget_cached_bases). Made once, from pybind11's
// metaclass, and kept for the life of the process.
inline PyTypeObject*& pybind11_metaclass() {
    static PyTypeObject* metaclass = nullptr;
    return metaclass;
}

extern "C" inline void dealloc_native_class(PyObject* type) {
    pybind11_internals::forget_cached_bases(reinterpret_cast<PyTypeObject*>(type));
    pybind11_metaclass()->tp_dealloc(type);
}

// The native classes that Python code may derive from, in registration order.
inline std::vector<PyTypeObject*>& native_classes() {
    static std::vector<PyTypeObject*> classes;
    return classes;
}

// The most derived native class that `type` is or derives from, or nullptr.
inline PyTypeObject* native_class_of(PyTypeObject* type) {
    const py::tuple mro = py::reinterpret_borrow<py::tuple>(type->tp_mro);
    for (const py::handle base : mro) {
        for (PyTypeObject* native : native_classes()) {
            if (base.ptr() == reinterpret_cast<PyObject*>(native)) return native;
        }
    }
    return nullptr;
}

// A class whose bases lead to two different native classes (a Python
// subclass of Extractor and GammatoneFilterbank, say) would give each object
// two native parts, which neither the collector's hooks nor the calls
// expect: it is refused when it is defined. Bases that lead to the same one
// (a diamond) give one part and are fine.
extern "C" inline int init_native_class(PyObject* cls, PyObject* args, PyObject* kwargs) {
    PyTypeObject* found = nullptr;
    const py::tuple bases =
        py::reinterpret_borrow<py::tuple>(reinterpret_cast<PyTypeObject*>(cls)->tp_bases);
    for (const py::handle base : bases) {
        if (!PyType_Check(base.ptr())) continue;
        PyTypeObject* native = native_class_of(reinterpret_cast<PyTypeObject*>(base.ptr()));
        if (native == nullptr) continue;
        if (found != nullptr && native != found) {
            PyErr_Format(PyExc_TypeError,
                         "%s cannot derive from both %s and %s: an object holds one native part",
                         reinterpret_cast<PyTypeObject*>(cls)->tp_name, found->tp_name,
                         native->tp_name);
            return -1;
        }
        found = native;
    }
    return pybind11_metaclass()->tp_init(cls, args, kwargs);
}

inline py::handle native_metaclass(py::handle pybind11_type) {
    static PyObject* metaclass = nullptr;
    if (metaclass != nullptr) return metaclass;
    pybind11_metaclass() = reinterpret_cast<PyTypeObject*>(pybind11_type.inc_ref().ptr());
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_native_class)},
                                  {Py_tp_init, reinterpret_cast<void*>(&init_native_class)},
                                  {0, nullptr}};
    static PyType_Spec metaclass_type = {"_tavik.pybind11_type", 0, 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    metaclass = PyType_FromSpecWithBases(&metaclass_type, pybind11_type.ptr());
    if (metaclass == nullptr) throw py::error_already_set();
    return metaclass;
}

// The native classes hold Python objects (a Python transform; the filterbank
// that a Filter element keeps alive) through which reference cycles form:
// the collector is told about them.
inline py::custom_type_setup native_type_setup(int padding_slots) {
    return py::custom_type_setup([padding_slots](PyHeapTypeObject* heap_type) {
        auto* type = &heap_type->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = traverse_native;
        type->tp_clear = clear_native;
        pad_layout(heap_type, padding_slots);
    });
}

// __reduce_ex__ for every protocol. The default one reduces protocols 0 and 1
// through copyreg, which calls the pybind11 base type to make a copy of the
// object and ends the process; protocols 2 and above reduce to
// copyreg.__newobj__(cls) and __setstate__(state). This gives that same
// reduction for every protocol (protocol 0 pickles copyreg.__newobj__ by
// name like any function). A __reduce__ defined by a Python subclass takes
// precedence, as it does with the default.
inline py::object reduce_ex(const py::object& self, int /*protocol*/) {
    const py::handle cls = py::type::handle_of(self);
    const py::object object_reduce = py::module_::import("builtins").attr("object").attr("__reduce__");
    const py::object reduce = cls.attr("__reduce__");
    if (!reduce.is(object_reduce)) return self.attr("__reduce__")();
    return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"), py::make_tuple(cls),
                          self.attr("__getstate__")());
}

// Extractor.__init__ and Extractor.__setstate__ build an Extractor part into
// the instance. pybind11 looks that part up before any overload is tried,
// and an instance whose native part is of another class (a filterbank) ends
// the process there. The guard below replaces each in the class dictionary
// and refuses such an instance with TypeError, then calls the original; its
// name and docstring are the original's, so help() reads as before.
//
// The guard also refuses an initialiser (__init__ or __setstate__ of any
// native class) called on an object whose initialiser is still running, as
// it is when the conversion of an argument (an __index__, a __float__, a
// warning hook) calls one: pybind11 checks that the object is not yet
// initialised before it converts the arguments, so both calls would build a
// native part into it and register it twice, and its deallocation would end
// the process.
struct GuardedInitialiser {
    PyMethodDef definition;
    PyObject* original;    // the pybind11 function, kept for the module's lifetime
    PyTypeObject* native;  // the class whose part the original builds
    std::string qualified_name;
};

// The objects whose initialiser is running, on any thread (the interpreter
// lock guards the set).
inline std::unordered_set<PyObject*>& initialising() {
    static std::unordered_set<PyObject*> objects;
    return objects;
}

extern "C" inline PyObject* call_guarded_initialiser(PyObject* capsule, PyObject* args,
                                                     PyObject* kwargs) {
    auto* guard = static_cast<GuardedInitialiser*>(PyCapsule_GetPointer(capsule, nullptr));
    if (guard == nullptr) return nullptr;
    PyObject* self = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (self != nullptr && initialising().count(self) != 0) {
        PyErr_Format(PyExc_TypeError, "%s was called while an initialiser of the same object runs",
                     guard->qualified_name.c_str());
        return nullptr;
    }
    if (self != nullptr) {
        // The native part is of the most derived native class in the
        // object's MRO (a class combining two is refused): another one
        // derived from guard->native (a filterbank for Extractor) is refused.
        // The classes outside native_classes() are final.
        if (PyObject_TypeCheck(self, guard->native)) {
            const PyTypeObject* part_class = native_class_of(Py_TYPE(self));
            if (part_class != nullptr && part_class != guard->native) {
                const char* type_name = Py_TYPE(self)->tp_name;
                const char* dot = std::strrchr(type_name, '.');
                PyErr_Format(PyExc_TypeError, "%s cannot initialise a %s instance",
                             guard->qualified_name.c_str(), dot ? dot + 1 : type_name);
                return nullptr;
            }
        }
        initialising().insert(self);
    }
    PyObject* result = PyObject_Call(guard->original, args, kwargs);
    if (self != nullptr) initialising().erase(self);
    return result;
}

inline void guard_initialiser(py::handle cls, const char* name) {
    auto* native = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const py::object original = cls.attr("__dict__")[name];
    const std::string doc = py::str(cls.attr(name).attr("__doc__"));
    // Lives as long as the class: classes of this module are never destroyed.
    auto* guard = new GuardedInitialiser{
        {nullptr, nullptr, METH_VARARGS | METH_KEYWORDS, nullptr},
        original.inc_ref().ptr(),
        native,
        fmt::format("{}.{}", py::str(cls.attr("__qualname__")).cast<std::string>(), name)};
    guard->definition.ml_name = strdup(name);
    guard->definition.ml_meth = reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&call_guarded_initialiser));
    guard->definition.ml_doc = strdup(doc.c_str());
    py::capsule data(guard);
    py::object function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&guard->definition, data.ptr(), nullptr));
    if (!function) throw py::error_already_set();
    py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    py::setattr(cls, name, method);
}

}  // namespace tavik::python::native_types
