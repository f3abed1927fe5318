// The _tavik extension module: registers the extractors of the core with
// their Python names, argument names, defaults and conversions.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>
#include <chrono>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <pybind11/eigen.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "extractor/continuous_gammatone.hpp"
#include "extractor/extractor.hpp"
#include "extractor/frame_batch.hpp"
#include "extractor/gammatone_bands.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "extractor/lockstep_kernels.hpp"
// Before anything converts a transform: it replaces that conversion.
#include "python/transforms.hpp"

#include "python/cepstra.hpp"
#include "python/docstrings.hpp"
#include "python/interpreter_exit.hpp"
#include "python/introspection.hpp"
#include "python/native_types.hpp"
#include "python/pickle_support.hpp"
#include "python/py_extractor.hpp"
#include "python/pybind11_internals.hpp"
#include "python/python_transform.hpp"
#include "python/strict_int.hpp"

namespace py = pybind11;

namespace tavik::extractor {

// A frame passed to __call__ as a sequence of floats.
struct FrameInput {
    std::vector<double> frame;
    // A 2-D float64 array of no rows: a (channels, samples) matrix without a
    // channel, which the matrix conversion does not take (its strides are
    // degenerate); refused with the matrix path's error.
    bool no_channels = false;
};

}  // namespace tavik::extractor

namespace pybind11::detail {

// Accepts a sequence (not str or bytes) whose items are all floats (float or
// a subclass, as NumPy's float64 scalars are; an int item is refused), read
// by index up to the length it reports. When the object also exports a
// one-dimensional buffer of native doubles (a 1-D float64 array of any
// stride, array.array('d'), a memoryview of doubles) the samples are copied
// straight from its memory instead of item by item.
template <>
struct type_caster<tavik::extractor::FrameInput> {
    PYBIND11_TYPE_CASTER(tavik::extractor::FrameInput, const_name("list[float]"));

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
        if (view.ndim == 2 && view.shape[0] == 0 && doubles) {
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

namespace tavik::extractor {

namespace {

using Base = Extractor<double>;
using Filterbank = GammatoneFilterbank<double>;
using Filter = Filterbank::Filter;

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

// A result of rows x columns items of `item` bytes must be describable by
// NumPy's strides, products in Py_ssize_t: else MemoryError(message),
// before they overflow.
void check_result_size(std::size_t rows, std::size_t columns, std::size_t item,
                       const char* message) {
    const auto max_values = static_cast<std::size_t>(PY_SSIZE_T_MAX) / item;
    if (columns > max_values || (rows > 0 && columns > max_values / rows)) {
        PyErr_SetString(PyExc_MemoryError, message);
        throw py::error_already_set();
    }
}

// Features of every frame of a NumPy array, float64 or float32 (converted
// exactly to double inside the workers, without a copy of the whole array):
// - 2-D, shape (n, num_samples), rows with unit inner stride (any row stride,
//   so that a strided sliding-window view is read in place);
// - 3-D, shape (n, channels, num_samples), any strides: each frame reduced
//   to one channel by on_channel, as the matrix form of __call__ does.
// The interpreter lock is released while native code runs; a Python compute
// or transform takes it back for itself, and the calling thread takes it
// about every 20 ms between its frames to run the Python signal handlers, so
// that Ctrl-C stops the batch once the frames in progress are done. A
// failure raises the exception of the lowest failing frame, once every
// worker has stopped and the lock is held again.
py::array_t<double> batch(const Base& self, const py::object& frames,
                          Integer<int> requested_threads) {
    static constexpr const char* accepted =
        "frames must be a float64 or float32 NumPy array of shape (n, num_samples) whose rows "
        "are contiguous, or of shape (n, channels, num_samples)";
    const int num_threads = requested_threads;
    if (num_threads < 0) throw py::value_error("num_threads must not be negative");
    if (!py::isinstance<py::array>(frames)) throw py::type_error(accepted);
    const auto array = py::reinterpret_borrow<py::array>(frames);
    const bool is_double = array.dtype().equal(py::dtype::of<double>());
    const bool is_single = array.dtype().equal(py::dtype::of<float>());
    if (!(is_double || is_single) || (array.ndim() != 2 && array.ndim() != 3)) {
        throw py::type_error(accepted);
    }
    const auto itemsize = static_cast<py::ssize_t>(is_double ? sizeof(double) : sizeof(float));
    const bool channels = array.ndim() == 3;
    const auto num_frames = static_cast<std::size_t>(array.shape(0));
    const auto width = static_cast<std::size_t>(array.shape(array.ndim() - 1));
    if (!channels && num_frames > 0 && width > 1 && array.strides(1) != itemsize) {
        throw py::type_error(accepted);
    }
    self.check_length(width);

    check_result_size(num_frames, self.num_features, sizeof(double),
                      "The features of this batch do not fit in memory");
    py::array_t<double> out({num_frames, self.num_features});
    const auto* data = static_cast<const unsigned char*>(array.data());
    double* destination = out.mutable_data();
    const unsigned threads = batch_threads(num_threads);

    without_lock([&](const StopCheck& signal_raised) {
        if (!channels) {
            const auto rows = array.strides(0);
            if (is_double) {
                extract_batch<double, double>(self, data, num_frames, rows, destination, threads,
                                              signal_raised);
            } else {
                extract_batch<double, float>(self, data, num_frames, rows, destination, threads,
                                             signal_raised);
            }
        } else {
            const auto count = static_cast<std::size_t>(array.shape(1));
            if (is_double) {
                extract_batch_channels<double, double>(self, data, num_frames, count,
                                                       array.strides(0), array.strides(1),
                                                       array.strides(2), destination, threads,
                                                       signal_raised);
            } else {
                extract_batch_channels<double, float>(self, data, num_frames, count,
                                                      array.strides(0), array.strides(1),
                                                      array.strides(2), destination, threads,
                                                      signal_raised);
            }
        }
    });
    return out;
}

// A state of a continuous pass as the 1-D float64 array that stream_state
// and stream_push return and stream_push takes: its values, then what it
// belongs to (ContinuousGammatone::packed).
py::array_t<double> state_array(const FilterPass& pass, const ContinuousState& state) {
    const std::vector<double> packed = pass.packed(state);
    py::array_t<double> out(static_cast<py::ssize_t>(packed.size()));
    std::memcpy(out.mutable_data(), packed.data(), packed.size() * sizeof(double));
    return out;
}

// The state that `state_array` gave, from an array of any stride, after
// `samples_pushed` samples; ValueError unless it belongs to this pass (a
// ContinuousGammatone or a GammatoneBands) after that many samples.
template <typename Pass>
ContinuousState state_of(const Pass& pass, const py::object& state,
                         std::uint64_t samples_pushed) {
    if (!py::isinstance<py::array_t<double>>(state)) {
        throw py::type_error("state must be the float64 array of an earlier push");
    }
    const auto given = py::reinterpret_borrow<py::array>(state);
    if (given.ndim() != 1 || !given.dtype().equal(py::dtype::of<double>())) {
        throw py::value_error(Pass::foreign_state);
    }
    const auto size = static_cast<std::size_t>(given.shape(0));
    if (size != checked_sum(pass.state_size(), Pass::record_size, Pass::foreign_state)) {
        throw py::value_error(Pass::foreign_state);
    }
    std::vector<double> values(size);
    const auto* bytes = static_cast<const unsigned char*>(given.data());
    for (std::size_t i = 0; i < size; ++i) {
        std::memcpy(&values[i], bytes + static_cast<py::ssize_t>(i) * given.strides(0),
                    sizeof(double));
    }
    ContinuousState carried = pass.unpacked(std::move(values));
    if (carried.samples_pushed != samples_pushed) {
        throw py::value_error(
            fmt::format("samples_pushed is {} but state is that of a pass after {} samples",
                        samples_pushed, carried.samples_pushed));
    }
    return carried;
}

// The samples of a push, as the passes take them: a float64 or float32
// array of shape (n,) or (n, channels), any strides (TypeError otherwise).
py::array pushed_samples(const py::object& samples) {
    static constexpr const char* accepted =
        "samples must be a float64 or float32 NumPy array of shape (n,) or (n, channels)";
    if (!py::isinstance<py::array>(samples)) throw py::type_error(accepted);
    const auto array = py::reinterpret_borrow<py::array>(samples);
    const bool is_double = array.dtype().equal(py::dtype::of<double>());
    const bool is_single = array.dtype().equal(py::dtype::of<float>());
    if (!(is_double || is_single) || (array.ndim() != 1 && array.ndim() != 2)) {
        throw py::type_error(accepted);
    }
    return array;
}

// Those samples read in place, reduced per sample to one channel by the
// filterbank's on_channel (IndexError for a channel they lack).
class PushedSignal {
public:
    PushedSignal(const Filterbank& self, const py::array& array)
        : is_double(array.dtype().equal(py::dtype::of<double>())),
          as_double(self, data(array), channels(array), array.strides(0), channel_stride(array)),
          as_single(self, data(array), channels(array), array.strides(0), channel_stride(array)) {}

    // run(reader) with the reader of the samples' type.
    template <typename Run>
    void read(const Run& run) const {
        if (is_double) {
            run(as_double);
        } else {
            run(as_single);
        }
    }

private:
    static const unsigned char* data(const py::array& array) {
        return static_cast<const unsigned char*>(array.data());
    }
    static std::size_t channels(const py::array& array) {
        return array.ndim() == 2 ? static_cast<std::size_t>(array.shape(1)) : 1;
    }
    static py::ssize_t channel_stride(const py::array& array) {
        return array.ndim() == 2 ? array.strides(1) : 0;
    }

    const bool is_double;
    const StridedSignal<double> as_double;
    const StridedSignal<float> as_single;
};

// The state of a continuous pass before its first sample.
py::array_t<double> stream_state(const Filterbank& self, Integer<std::size_t> hop) {
    const ContinuousGammatone pass(self, hop);
    return state_array(pass, pass.initial_state());
}

// One push of a continuous pass: the samples (float64 or float32, 1-D or
// (samples, channels), any strides) after `samples_pushed` samples whose
// pass left `state`. Returns the features of the frames it completes and
// the state after it, a new array: the given one is never written, so a
// push that fails or is stopped leaves the caller's state as it was. The
// lock is released and Ctrl-C handled as in batch.
py::tuple stream_push(const Filterbank& self, const py::object& samples,
                      Integer<std::size_t> hop, const py::object& state,
                      Integer<std::uint64_t> samples_pushed, Integer<int> requested_threads) {
    const int num_threads = requested_threads;
    if (num_threads < 0) throw py::value_error("num_threads must not be negative");
    const py::array array = pushed_samples(samples);
    const ContinuousGammatone pass(self, hop);
    ContinuousState carried = state_of(pass, state, samples_pushed);
    const auto n = static_cast<std::size_t>(array.shape(0));
    const PushedSignal signal(self, array);

    const std::size_t rows = pass.frames_completed_by(carried, n);
    check_result_size(rows, self.num_features, sizeof(double),
                      "The features of this push do not fit in memory");
    py::array_t<double> out({rows, self.num_features});
    double* destination = out.mutable_data();
    const unsigned threads = batch_threads(num_threads);

    without_lock([&](const StopCheck& signal_raised) {
        signal.read([&](const auto& read) {
            pass.push(carried, n, read, destination, threads, signal_raised);
        });
    });
    return py::make_tuple(std::move(out), state_array(pass, carried));
}

// The state of a band pass before its first sample.
py::array_t<double> bands_state(const Filterbank& self, const std::string& output) {
    const GammatoneBands pass(self, band_output_named(output));
    return state_array(pass, pass.initial_state());
}

// One push of a band pass, as stream_push is one of the features' pass:
// every sample of every filter of the samples after `samples_pushed`, a new
// (n, num_features) array of float64 (complex128 for the analytic signal),
// and the state after them.
py::tuple bands_push(const Filterbank& self, const py::object& samples, const std::string& output,
                     const py::object& state, Integer<std::uint64_t> samples_pushed,
                     Integer<int> requested_threads) {
    const int num_threads = requested_threads;
    if (num_threads < 0) throw py::value_error("num_threads must not be negative");
    const py::array array = pushed_samples(samples);
    const GammatoneBands pass(self, band_output_named(output));
    ContinuousState carried = state_of(pass, state, samples_pushed);
    const auto n = static_cast<std::size_t>(array.shape(0));
    const PushedSignal signal(self, array);

    const bool complex = pass.output == BandOutput::analytic;
    check_result_size(n, self.num_features, complex ? 2 * sizeof(double) : sizeof(double),
                      "The bands of this push do not fit in memory");
    py::array out(py::dtype(complex ? "complex128" : "float64"),
                  std::vector<py::ssize_t>{static_cast<py::ssize_t>(n),
                                           static_cast<py::ssize_t>(self.num_features)});
    auto* destination = static_cast<double*>(out.mutable_data());
    const unsigned threads = batch_threads(num_threads);

    without_lock([&](const StopCheck& signal_raised) {
        signal.read([&](const auto& read) {
            pass.push(carried, n, read, destination, threads, signal_raised);
        });
    });
    return py::make_tuple(std::move(out), state_array(pass, carried));
}

void bind_gammatone_filterbank(py::module_& sub, py::handle metaclass) {
    py::class_<Filterbank, Base> filterbank(sub, "GammatoneFilterbank",
                                            native_types::native_type_setup(2),
                                            py::metaclass(metaclass),
                                            docstrings::filterbank_class);
    // The default transform, log10(floor=0.0), is native: it never enters
    // the interpreter. The filterbank is built before the frequency range is
    // warned about: a range that cannot be built at all is an error, not a
    // warning.
    filterbank.def(py::init([](Integer<std::size_t> num_samples, Integer<std::size_t> num_features,
                               Integer<int> sample_rate, std::function<double(double)> transform,
                               Integer<int> on_channel, double low_Hz, double high_Hz,
                               double temporal_integration) {
                       auto fb = std::make_unique<Filterbank>(
                           num_samples, num_features, sample_rate,
                           own_transform(std::move(transform)), on_channel, low_Hz, high_Hz,
                           temporal_integration);
                       introspection::check_frequency_range(sample_rate, low_Hz, high_Hz);
                       return fb;
                   }),
                   py::arg("num_samples") = 1024, py::arg("num_features") = 64,
                   py::arg("sample_rate") = 44100,
                   py::arg("transform") = native_transforms::Log10{0.0},
                   py::arg("on_channel") = -1, py::arg("low_Hz") = 50, py::arg("high_Hz") = 8000,
                   py::arg("temporal_integration") = 0, docstrings::filterbank_init);
    filterbank.def_property_readonly("filters", &introspection::filters,
                                     docstrings::filterbank_filters);
    filterbank.def_property_readonly("centre_frequencies", &introspection::centre_frequencies,
                                     docstrings::filterbank_centre_frequencies);
    filterbank.def_readonly("low_Hz", &Filterbank::low_Hz, docstrings::filterbank_low_Hz)
        .def_readonly("high_Hz", &Filterbank::high_Hz, docstrings::filterbank_high_Hz)
        .def_readonly("temporal_integration", &Filterbank::temporal_integration,
                      docstrings::filterbank_temporal_integration);
    filterbank.def("stream_state", &stream_state, py::arg("hop"),
                   docstrings::filterbank_stream_state);
    filterbank.def("stream_push", &stream_push, py::arg("samples"), py::arg("hop"),
                   py::arg("state"), py::arg("samples_pushed"), py::arg("num_threads") = 0,
                   docstrings::filterbank_stream_push);
    filterbank.def("bands_state", &bands_state, py::arg("output") = "envelope",
                   docstrings::filterbank_bands_state);
    filterbank.def("bands_push", &bands_push, py::arg("samples"), py::arg("output"),
                   py::arg("state"), py::arg("samples_pushed"), py::arg("num_threads") = 0,
                   docstrings::filterbank_bands_push);
    enable_pickling(filterbank);

    py::class_<Filter> filter(filterbank, "Filter", native_types::native_type_setup(1),
                              py::metaclass(metaclass),
                              docstrings::filter_class);
    filter.def(py::init<double, double, double, double, std::array<double, 5>>(), py::arg("cf"),
               py::arg("coscf"), py::arg("sincf"), py::arg("gain"), py::arg("a"),
               docstrings::filter_init)
        .def_readonly("cf", &Filter::cf, docstrings::filter_cf)
        .def_readonly("gain", &Filter::gain, docstrings::filter_gain)
        .def_readonly("a", &Filter::a, docstrings::filter_a);
    enable_pickling(filter);
    filter.def("__reduce_ex__", &native_types::reduce_ex, py::arg("protocol"),
               docstrings::reduce_ex);
    native_types::native_classes().push_back(reinterpret_cast<PyTypeObject*>(filterbank.ptr()));
    native_types::native_classes().push_back(reinterpret_cast<PyTypeObject*>(filter.ptr()));
    for (const char* initialiser : {"__init__", "__setstate__"}) {
        native_types::guard_initialiser(filterbank, initialiser);
        native_types::guard_initialiser(filter, initialiser);
    }
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
                                                           own_transform(std::move(transform)),
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
    extractor.def("batch", &batch, py::arg("frames"), py::arg("num_threads") = 0,
                  docstrings::extractor_batch);
    extractor.def("__repr__", &introspection::repr, docstrings::extractor_repr);
    enable_pickling(extractor);
    extractor.def("__reduce_ex__", &native_types::reduce_ex, py::arg("protocol"),
                  docstrings::reduce_ex);

    native_types::native_classes().push_back(reinterpret_cast<PyTypeObject*>(extractor.ptr()));
    bind_gammatone_filterbank(sub, metaclass);

    native_types::guard_initialiser(extractor, "__init__");
    native_types::guard_initialiser(extractor, "__setstate__");

    pybind11_internals::refuse_uninitialised<Base>();
    pybind11_internals::refuse_uninitialised<Filterbank>();
    pybind11_internals::refuse_uninitialised<Filter>();
}

}  // namespace tavik::extractor

namespace {

// (variant, {candidate: seconds of its fastest timed round}, forced) of the
// dispatch, as the core chose on its first use (made here if not yet).
py::tuple kernel_choice() {
    namespace core = tavik::extractor;
    const core::KernelChoice& choice = core::kernel_choice();
    py::dict candidates;
    for (std::size_t k = 0; k < choice.candidates.size(); ++k) {
        candidates[core::kernel_variant_name(choice.candidates[k])] =
            k < choice.seconds.size() ? py::object(py::float_(choice.seconds[k])) : py::none();
    }
    return py::make_tuple(core::kernel_variant_name(choice.variant), candidates, choice.forced);
}

void init_module(py::module_& m) {
    m.doc() = tavik::extractor::docstrings::module_doc;
    m.def("kernel_choice", &kernel_choice, tavik::extractor::docstrings::kernel_choice);
    tavik::extractor::native_transforms::bind_transforms(m);
    tavik::extractor::register_python_error();
    m.attr("FrequencyRangeWarning") = tavik::extractor::introspection::make_frequency_range_warning();
    tavik::extractor::bind_extractor(m);
    tavik::extractor::cepstra::bind_cepstra(m);
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
