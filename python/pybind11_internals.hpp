// Every use of pybind11's internals (pybind11::detail beyond the documented
// type_caster interface) that the bindings still need: each is here, with
// what it does, why no public API does it, and what it waits for.
//
// The collector may visit an instance between its allocation and pybind11's
// layout of its native part (zeroed memory until then), so whatever reads
// the parts checks that layout first. Only the simple layout (one native
// class per instance) is ever made: a Python class cannot combine two native
// classes (native_types.hpp's pad_layout).
#pragma once

#include <cstddef>
#include <optional>
#include <typeinfo>
#include <utility>

#include <pybind11/pybind11.h>

namespace tavik::python::pybind11_internals {

namespace py = pybind11;

// The native part of `self` whose class is `base` or derives from it: its
// C++ type and its object (owned, or a reference into another one, as a
// filterbank's Filter elements are), which is nullptr when there is none
// (made by __new__ alone, or already cleared); std::nullopt when `self` has
// no such part or is not laid out yet. Asking py::cast instead fails with
// pybind11's internal error for a part that is not there (Extractor's
// __getstate__ called on a filterbank holds a GammatoneFilterbank part),
// reads raw storage for one not constructed, and may raise or run Python
// code, which the collector (a caller) must not. Waits for a public,
// layout-safe test in pybind11 (none planned as of 3.1.0; its own
// is_holder_constructed reads the layout without checking that it is set).
struct NativePart {
    const std::type_info& type;
    const void* object;
};
inline std::optional<NativePart> native_part(PyObject* self, PyTypeObject* base) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    if (!inst->simple_layout) return std::nullopt;  // not laid out yet
    for (const auto& part : py::detail::values_and_holders(inst)) {
        if (!PyType_IsSubtype(part.type->type, base)) continue;
        return NativePart{*part.type->cpptype, part.value_ptr()};
    }
    return std::nullopt;
}

// Visits the objects that pybind11 keeps alive for `self` (py::keep_alive,
// reference_internal), which no public API lists: without it the collector
// cannot see a cycle through them. Waits for pybind11 to traverse its
// kept-alive objects itself (pybind11 3.1.0's tp_traverse visits the
// instance dictionary only).
inline int visit_kept_alive(PyObject* self, visitproc visit, void* arg) {
    // Zeroed (false) until the layout is set.
    if (!reinterpret_cast<py::detail::instance*>(self)->has_patients) return 0;
    auto& patients = py::detail::get_internals().patients;
    const auto found = patients.find(self);
    if (found == patients.end()) return 0;
    for (PyObject* patient : found->second) Py_VISIT(patient);
    return 0;
}

// Destroys the native part of `self` as its deallocation would, drops what
// is kept alive for it, and leaves it reading as never initialised. This is
// tp_clear for the collector; pybind11's own tp_clear (py::dynamic_attr)
// clears only the instance dictionary, and only its deallocation destroys
// the native part. Waits for pybind11 to clear the native part in a
// tp_clear of its own (pybind11 3.1.0 does not).
inline void clear_native_part(PyObject* self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    if (!inst->simple_layout) return;  // not laid out yet
    py::detail::clear_instance(self);
    for (auto part : py::detail::values_and_holders(inst)) part.value_ptr() = nullptr;
}

// Defines __setstate__(self, state: tuple) on `cls` as a constructor, as
// py::init and py::pickle do (refused on an initialised object; an instance
// of a Python subclass gets the alias class): `make(state)` builds the native
// object, then `then(self, state)` runs on the new instance. py::init and
// py::pickle hand their factory the arguments but never the instance, whose
// attributes unpickling restores. Waits for a factory form of py::init that
// receives the instance (none as of 3.1.0).
template <typename Class, typename Make, typename Then>
void def_setstate_with_instance(Class& cls, Make make, Then then, const char* doc) {
    cls.def(
        "__setstate__",
        [make, then](py::detail::value_and_holder& v_h, const py::tuple& state) {
            py::detail::initimpl::construct<Class>(v_h, make(state),
                                                   Py_TYPE(v_h.inst) != v_h.type->type);
            then(py::handle(reinterpret_cast<PyObject*>(v_h.inst)), state);
        },
        py::detail::is_new_style_constructor(), doc);
}

// An instance made by __new__ alone has no native object. When a method is
// called on it, pybind11 would allocate raw, unconstructed storage for the
// object and run the method on it; with this, that allocation raises
// TypeError instead. Construction through __init__ (and unpickling) never
// allocates that way. pybind11 takes such an allocator only from a class's
// own operator new (a class of the core, which stays free of Python), and
// its smart_holder raises a message of its own. Waits for a class_ option
// refusing uninitialised instances (none as of 3.1.0).
template <typename T>
void refuse_uninitialised() {
    py::detail::get_type_info(typeid(T))->operator_new = [](std::size_t) -> void* {
        throw py::type_error("The object is not initialised: its __init__ was not called");
    };
}

// Forgets pybind11's cached native bases of a Python subclass of a native
// class, as that subclass is destroyed. pybind11 caches them per type
// object address and forgets them from a weak reference's callback. When a
// class dies in a cycle with one of its instances, the collector calls that
// callback first, then pybind11 clears the instance and asks for its type's
// bases again, which caches them anew with a new weak reference; from
// CPython 3.14 on, a weak reference made during the collection of its
// referent never calls back, so the entry outlived the class and a later
// class at the same address was taken for a subclass of the other native
// class. Waits for pybind11 to forget every cached type in its own
// metaclass's deallocation (pybind11 3.1.0 forgets only registered ones).
inline void forget_cached_bases(PyTypeObject* type) {
    py::detail::with_internals([type](py::detail::internals& internals) {
        const auto found = internals.registered_types_py.find(type);
        if (found == internals.registered_types_py.end()) return;
        // A registered native class is forgotten by pybind11 itself.
        if (found->second.size() == 1 && found->second.front()->type == type) return;
        internals.registered_types_py.erase(found);
        auto& overrides = internals.inactive_override_cache;
        for (auto it = overrides.begin(); it != overrides.end();) {
            it = it->first == reinterpret_cast<PyObject*>(type) ? overrides.erase(it) : ++it;
        }
    });
}

}  // namespace tavik::python::pybind11_internals
