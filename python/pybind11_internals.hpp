// Every use of pybind11's internals (pybind11::detail beyond the documented
// type_caster interface) that the bindings still need: each is here, with
// what it does, why no public API does it, and what it waits for.
#pragma once

#include <pybind11/pybind11.h>

namespace tavik::pybind11_internals {

namespace py = pybind11;

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

}  // namespace tavik::pybind11_internals
