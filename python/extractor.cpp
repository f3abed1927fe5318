// _tavik.extractor.Extractor: the core's abstract extractor
// (extractor/extractor.hpp), whose compute a Python subclass supplies
// (PyExtractor), called on a frame or a (channels, samples) matrix.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "extractor/extractor.hpp"
#include "python/bindings.hpp"
#include "python/docstrings.hpp"
#include "python/extractor.hpp"
#include "python/introspection.hpp"
#include "python/native_types.hpp"
#include "python/pickle_support.hpp"
#include "python/pybind11_internals.hpp"
#include "python/strict_int.hpp"
#include "python/transforms.hpp"

namespace tavik::python {

// A frame passed to __call__ as a sequence of floats.
struct FrameInput {
    std::vector<double> frame;
    // A 2-D array of no rows: a (channels, samples) matrix without a
    // channel, which the matrix conversion does not take (its strides are
    // degenerate); refused with the matrix path's error.
    bool no_channels = false;
};

}  // namespace tavik::python

namespace pybind11::detail {

// Accepts a sequence (not str or bytes) whose items are all floats (float or
// a subclass, as NumPy's float64 scalars are; an int item is refused), read
// by index up to the length it reports. When the object also exports a
// one-dimensional buffer of native doubles (a 1-D float64 array of any
// stride, array.array('d'), a memoryview of doubles) the samples are copied
// straight from its memory instead of item by item.
template <>
struct type_caster<tavik::python::FrameInput> {
    PYBIND11_TYPE_CASTER(tavik::python::FrameInput, const_name("list[float]"));

    bool load(handle src, bool) {
        if (!isinstance<sequence>(src) || isinstance<bytes>(src) || isinstance<str>(src)) {
            return false;
        }
        if (load_from_buffer(src)) return true;
        return load_items(reinterpret_borrow<sequence>(src));
    }

private:
    static bool is_native_double(const char* format) {
        const std::string_view f = format ? format : "B";
        return f == "d" || f == "@d" || f == "=d"
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
               || f == "<d"
#endif
            ;
    }

    // len() once, then each item by index: an error from either propagates
    // as the sequence's own exception.
    bool load_items(const sequence& items) {
        const std::size_t count = items.size();
        std::vector<double> frame;
        frame.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const object item = items[i];
            if (!PyFloat_Check(item.ptr())) return false;
            frame.push_back(PyFloat_AS_DOUBLE(item.ptr()));
        }
        value.frame = std::move(frame);
        return true;
    }

    bool load_from_buffer(handle src) {
        if (!PyObject_CheckBuffer(src.ptr())) return false;
        Py_buffer view;
        if (PyObject_GetBuffer(src.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            return false;
        }
        const bool doubles = view.itemsize == sizeof(double) && is_native_double(view.format);
        if (view.ndim == 2 && view.shape[0] == 0) {
            value.no_channels = true;
            PyBuffer_Release(&view);
            return true;
        }
        const bool usable = view.ndim == 1 && doubles;
        if (usable) {
            const auto n = static_cast<std::size_t>(view.shape[0]);
            const Py_ssize_t stride = view.strides[0];
            const auto* base = static_cast<const unsigned char*>(view.buf);
            value.frame.resize(n);
            if (stride == static_cast<Py_ssize_t>(sizeof(double))) {
                if (n > 0) std::memcpy(value.frame.data(), base, n * sizeof(double));
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    std::memcpy(&value.frame[i], base + static_cast<Py_ssize_t>(i) * stride,
                                sizeof(double));
                }
            }
        }
        PyBuffer_Release(&view);
        return usable;
    }
};

}  // namespace pybind11::detail

namespace tavik::python {

namespace {

using namespace tavik::extractor;  // the core's names, unqualified
using Base = extractor::Extractor<double>;
using Filterbank = extractor::GammatoneFilterbank<double>;

// A float64 array need not be aligned: a view at an odd byte offset into a
// buffer still passes as a column-major matrix. Reading its doubles in place
// would be undefined behaviour, so such a matrix is copied byte-wise first.
bool is_aligned(const Base::MatrixView& m) {
    return reinterpret_cast<std::uintptr_t>(m.data()) % alignof(double) == 0;
}

Base::Matrix aligned_copy(const Base::MatrixView& m) {
    Base::Matrix copy(m.rows(), m.cols());
    const auto* bytes = reinterpret_cast<const unsigned char*>(m.data());
    const auto column_bytes = static_cast<std::size_t>(m.rows()) * sizeof(double);
    for (Eigen::Index c = 0; c < m.cols(); ++c) {
        if (column_bytes > 0) {
            std::memcpy(copy.col(c).data(), bytes + c * m.outerStride() * sizeof(double),
                        column_bytes);
        }
    }
    return copy;
}

}  // namespace

void bind_extractor(py::module_& m) {
    py::module_ sub = m.def_submodule("extractor", docstrings::extractor_module);
    sub.attr("FrequencyRangeWarning") = m.attr("FrequencyRangeWarning");

    // pybind11's metaclass is that of every class it made, the transforms'
    // (bound before) among them.
    const py::handle metaclass = native_types::native_metaclass(
        py::type::of(py::type::of<native_transforms::Identity>()));
    py::class_<Base, PyExtractor> extractor(sub, "Extractor", native_types::native_type_setup(1),
                                            py::metaclass(metaclass),
                                            docstrings::extractor_class);
    // A native identity: applying it never enters the interpreter.
    extractor.def(py::init([](Integer<std::size_t> num_samples, Integer<std::size_t> num_features,
                              Integer<int> sample_rate, std::function<double(double)> transform,
                              Integer<int> on_channel) {
                      return std::make_unique<PyExtractor>(num_samples, num_features, sample_rate,
                                                           std::move(transform),
                                                           on_channel);
                  }),
                  py::arg("num_samples") = 1024, py::arg("num_features") = 64,
                  py::arg("sample_rate") = 44100,
                  py::arg("transform") = native_transforms::Identity{}, py::arg("on_channel") = -1,
                  docstrings::extractor_init);
    extractor.def(
        "__call__",
        [](const Base& self, const FrameInput& input) {
            if (input.no_channels) throw py::value_error(Base::no_channels);
            return self(input.frame);
        },
        py::arg("input").noconvert(), docstrings::extractor_call_sequence);
    extractor.def(
        "__call__",
        [](const Base& self, Base::MatrixView input) {
            return is_aligned(input) ? self(input) : self(Base::MatrixView(aligned_copy(input)));
        },
        py::arg("input").noconvert(), docstrings::extractor_call_matrix);
    extractor.def_readonly("num_samples", &Base::num_samples, docstrings::extractor_num_samples)
        .def_readonly("num_features", &Base::num_features, docstrings::extractor_num_features)
        .def_readonly("sample_rate", &Base::sample_rate, docstrings::extractor_sample_rate)
        .def_readonly("transform", &Base::transform, docstrings::extractor_transform)
        .def_readonly("on_channel", &Base::on_channel, docstrings::extractor_on_channel);
    bind_frame_batch(extractor);
    extractor.def("__repr__", &introspection::repr, docstrings::extractor_repr);
    enable_pickling(extractor);
    extractor.def("__reduce_ex__", &native_types::reduce_ex, py::arg("protocol"),
                  docstrings::reduce_ex);

    native_types::native_classes().push_back(reinterpret_cast<PyTypeObject*>(extractor.ptr()));
    native_types::extractor_type() = reinterpret_cast<PyTypeObject*>(extractor.ptr());
    bind_gammatone_filterbank(sub, metaclass);

    native_types::guard_initialiser(extractor, "__init__");
    native_types::guard_initialiser(extractor, "__setstate__");

    pybind11_internals::refuse_uninitialised<Base>();
}

}  // namespace tavik::python
