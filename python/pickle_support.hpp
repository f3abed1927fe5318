// Pickling of extractors, so that they can be sent to the workers of a
// process pool or of a distributed engine (multiprocessing, Dask, Ray).
//
// The state of an extractor (or a Filter) is the tuple of its constructor
// arguments in constructor order, followed by the instance dictionary of a
// Python subclass (empty for the native classes themselves) and, when the
// subclass has __slots__ holding values, a dictionary of those. Unpickling
// builds a new native object from those arguments, so it gives
// bit-identical features.
//
// The transform travels as:
//   None        an empty transform;
//   a native transform of _tavik.transforms, which pickles itself (as its
//               class and parameter);
//   a callable  the Python callable given at construction, itself.
// A transform that is none of these, or whose callable cannot be pickled, is
// refused when the extractor is pickled, with a TypeError naming it.
// Pickles made before the native transforms pickled themselves hold the
// filterbank's default log10 and Extractor's identity as the strings "log10"
// and "identity": those still load. Only an exact str is read as one; a
// callable str subclass given as a transform travels as itself.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include "extractor/extractor.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "python/extractor.hpp"
#include "python/docstrings.hpp"
#include "python/pybind11_internals.hpp"
#include "python/python_transform.hpp"
#include "python/strict_int.hpp"
#include "python/transforms.hpp"

namespace tavik::python {

using namespace tavik::extractor;  // the core's names, unqualified

namespace pickling {

namespace py = pybind11;

using native_transforms::Transform;

// The callable's qualified name, or its type's when it has none (a native
// function without a name shows only its owner's, ending in a dot).
inline std::string callable_name(const py::handle& callable) {
    const py::object qualname = py::getattr(callable, "__qualname__", py::none());
    if (py::isinstance<py::str>(qualname)) {
        std::string name = qualname.cast<std::string>();
        if (!name.empty() && name.back() != '.') return name;
    }
    return "of type " + py::type::handle_of(callable).attr("__qualname__").cast<std::string>();
}

// The callables whose check (below) runs on this thread, innermost last.
inline std::vector<PyObject*>& callables_in_check() {
    thread_local std::vector<PyObject*> callables;
    return callables;
}

// Pickles the callable once on its own, so that a callable that cannot be
// pickled is reported here, by name, rather than deep inside the pickler.
// Pickling the callable may pickle the extractor that holds it (a bound
// method of the extractor itself pickles as getattr(extractor, name)) and so
// come back here with the same callable: that inner check is skipped, since
// the outer one covers it, so the recursion ends after one level instead of
// at the interpreter's recursion limit (or the end of a small thread stack).
inline void check_picklable(const py::object& callable) {
    std::vector<PyObject*>& in_check = callables_in_check();
    if (std::find(in_check.begin(), in_check.end(), callable.ptr()) != in_check.end()) return;
    struct InCheck {
        std::vector<PyObject*>& callables;
        ~InCheck() { callables.pop_back(); }
    };
    in_check.push_back(callable.ptr());
    const InCheck scope{in_check};
    const py::object dumps = py::module_::import("pickle").attr("dumps");
    PythonReferences held;  // outside the Python call, see park_if_ended
    try {
        park_if_ended([&] { held.result = PyObject_CallOneArg(dumps.ptr(), callable.ptr()); });
        if (held.result == nullptr) throw py::error_already_set();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        const std::string message =
            fmt::format("transform {} cannot be pickled", callable_name(callable));
        py::raise_from(error, PyExc_TypeError, message.c_str());
        throw py::error_already_set();
    }
}

inline py::object transform_state(const Transform& transform) {
    if (!transform) return py::none();
    if (const PythonTransform* held = transform.target<PythonTransform>()) {
        const py::object& callable = held->callable();
        check_picklable(callable);
        return callable;
    }
    py::object native = native_transforms::native_instance(transform);
    if (native.is_none()) throw py::type_error("transform <native function> cannot be pickled");
    return native;
}

inline Transform transform_from_state(const py::handle& state, const char* class_name) {
    if (state.is_none()) return Transform();
    if (PyUnicode_CheckExact(state.ptr())) {
        const std::string marker = state.cast<std::string>();
        if (marker == "log10") return native_transforms::Log10{0.0};
        if (marker == "identity") return native_transforms::Identity{};
    } else if (PyCallable_Check(state.ptr())) {
        return state.cast<Transform>();
    }
    throw py::type_error(fmt::format("Invalid pickled state of {}: unknown transform", class_name));
}

// The native object of `self`, checked first: an instance made by __new__
// alone has none yet, and reading through the cast would read raw memory.
// The native part is looked for among the instance's own parts, each of
// whose classes may derive from T (Extractor.__getstate__ called on a
// filterbank holds a GammatoneFilterbank, not an Extractor part); asking
// pybind11 for the part of T itself would fail with an internal error then.
template <typename T>
const T& native_object(const py::handle& self, const char* class_name) {
    auto* type = reinterpret_cast<PyTypeObject*>(py::type::of<T>().ptr());
    const auto part = PyObject_TypeCheck(self.ptr(), type)
                          ? pybind11_internals::native_part(self.ptr(), type)
                          : std::nullopt;
    if (!part) throw py::type_error(fmt::format("__getstate__ expects a {} instance", class_name));
    if (part->object == nullptr) {
        throw py::type_error(fmt::format("{} instance is not initialised", class_name));
    }
    return self.cast<const T&>();
}

// A shallow copy of the instance dictionary of a Python subclass (copy.copy
// installs the state's dictionary as it is, and the copy must not share the
// original's); empty for the native classes, whose instances have none.
inline py::dict instance_dict(const py::handle& self) {
    py::object dict = py::getattr(self, "__dict__", py::none());
    if (!py::isinstance<py::dict>(dict)) return py::dict();
    PyObject* copy = PyDict_Copy(dict.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(copy);
}

// The values of the __slots__ of a Python subclass that are set, by name
// (copyreg's list of slot names, as the default pickling of plain classes
// uses); empty for the native classes.
inline py::dict slot_values(const py::handle& self) {
    py::dict values;
    const py::list names =
        py::module_::import("copyreg").attr("_slotnames")(py::type::handle_of(self));
    for (const py::handle name : names) {
        if (py::hasattr(self, name)) values[name] = py::getattr(self, name);
    }
    return values;
}

// The constructor arguments, then the instance dictionary, then the slot
// values when there are any.
inline py::tuple with_attributes(const py::tuple& arguments, const py::handle& self) {
    py::list items;
    for (const py::handle item : arguments) items.append(item);
    items.append(instance_dict(self));
    py::dict slots = slot_values(self);
    if (!slots.empty()) items.append(slots);
    return py::tuple(items);
}

// A state tuple of `size` items, the last of them the instance dictionary,
// optionally followed by a dictionary of slot values.
inline void check_state(const py::tuple& state, std::size_t size, const char* class_name) {
    const bool valid = (state.size() == size || (state.size() == size + 1 &&
                                                 py::isinstance<py::dict>(state[size]))) &&
                       py::isinstance<py::dict>(state[size - 1]);
    if (!valid) throw py::type_error(fmt::format("Invalid pickled state of {}", class_name));
}

// The instance dictionary and the slot values of the state, installed on the
// new object as the default unpickling of plain classes installs them.
inline void restore_attributes(const py::handle& self, const py::tuple& state, std::size_t size) {
    const auto dict = py::reinterpret_borrow<py::dict>(state[size - 1]);
    if (!dict.empty()) py::setattr(self, "__dict__", dict);
    if (state.size() == size + 1) {
        for (const auto item : py::reinterpret_borrow<py::dict>(state[size])) {
            py::setattr(self, item.first, item.second);
        }
    }
}

// One argument of the state, converted as the constructor converts it: ints
// strictly (an int or an object with __index__), other numbers as floats.
template <typename T>
T state_item(const py::tuple& state, std::size_t index, const char* class_name) {
    using Loaded = std::conditional_t<std::is_integral_v<T>, Integer<T>, T>;
    const py::object item = state[index];
    try {
        return py::cast<Loaded>(item);
    } catch (const py::cast_error&) {
        throw py::type_error(fmt::format("Invalid pickled state of {}", class_name));
    }
}

// __setstate__ as pybind11's own pickling support defines it (a constructor
// that builds the native object into the instance), with the instance at
// hand to restore its attributes. `build` turns a checked state into the
// native object.
template <typename Class, typename Build>
void def_setstate(Class& cls, std::size_t size, const char* class_name, Build build) {
    namespace docstrings = tavik::python::docstrings;
    pybind11_internals::def_setstate_with_instance(
        cls,
        [size, class_name, build](const py::tuple& state) {
            check_state(state, size, class_name);
            return build(state);
        },
        [size](const py::handle& self, const py::tuple& state) {
            restore_attributes(self, state, size);
        },
        docstrings::setstate);
}

}  // namespace pickling

// Extractor and its Python subclasses. Unpickling always builds a PyExtractor,
// as Extractor.__init__ does, so a subclass's compute is called again.
inline void enable_pickling(pybind11::class_<Extractor<double>, PyExtractor>& cls) {
    namespace py = pybind11;
    using namespace pickling;
    static constexpr const char* name = "Extractor";
    cls.def("__getstate__", [](const py::object& self) {
        const auto& e = native_object<Extractor<double>>(self, name);
        return with_attributes(
            py::make_tuple(e.num_samples, e.num_features, e.sample_rate,
                           transform_state(e.transform), e.on_channel),
            self);
    }, docstrings::getstate);
    def_setstate(cls, 6, name, [](const py::tuple& state) {
        return std::unique_ptr<Extractor<double>>(std::make_unique<PyExtractor>(
            state_item<std::size_t>(state, 0, name), state_item<std::size_t>(state, 1, name),
            state_item<int>(state, 2, name), transform_from_state(state[3], name),
            state_item<int>(state, 4, name)));
    });
}

// GammatoneFilterbank and its Python subclasses: a plain filterbank again.
inline void enable_pickling(
    pybind11::class_<GammatoneFilterbank<double>, Extractor<double>>& cls) {
    namespace py = pybind11;
    using namespace pickling;
    using Filterbank = GammatoneFilterbank<double>;
    static constexpr const char* name = "GammatoneFilterbank";
    cls.def("__getstate__", [](const py::object& self) {
        const auto& fb = native_object<Filterbank>(self, name);
        return with_attributes(
            py::make_tuple(fb.num_samples, fb.num_features, fb.sample_rate,
                           transform_state(fb.transform), fb.on_channel, fb.low_Hz,
                           fb.high_Hz, fb.temporal_integration),
            self);
    }, docstrings::getstate);
    def_setstate(cls, 9, name, [](const py::tuple& state) {
        return std::make_unique<Filterbank>(
            state_item<std::size_t>(state, 0, name), state_item<std::size_t>(state, 1, name),
            state_item<int>(state, 2, name), transform_from_state(state[3], name),
            state_item<int>(state, 4, name), state_item<double>(state, 5, name),
            state_item<double>(state, 6, name), state_item<double>(state, 7, name));
    });
}

// A Filter: its five constructor arguments, so that a designed filter can be
// sent to another process like the filterbank it comes from.
inline void enable_pickling(pybind11::class_<GammatoneFilterbank<double>::Filter>& cls) {
    namespace py = pybind11;
    using namespace pickling;
    using Filter = GammatoneFilterbank<double>::Filter;
    static constexpr const char* name = "Filter";
    cls.def("__getstate__", [](const py::object& self) {
        const auto& f = native_object<Filter>(self, name);
        return with_attributes(py::make_tuple(f.cf, f.coscf, f.sincf, f.gain, f.a), self);
    }, docstrings::getstate);
    def_setstate(cls, 6, name, [](const py::tuple& state) {
        return std::make_unique<Filter>(
            state_item<double>(state, 0, name), state_item<double>(state, 1, name),
            state_item<double>(state, 2, name), state_item<double>(state, 3, name),
            state_item<std::array<double, 5>>(state, 4, name));
    });
}

}  // namespace tavik::python
