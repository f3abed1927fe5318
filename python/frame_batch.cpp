// Extractor.batch: the core's threaded batches (extractor/frame_batch.hpp)
// over a NumPy array of frames.
#include <cstddef>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "extractor/frame_batch.hpp"
#include "python/bindings.hpp"
#include "python/docstrings.hpp"
#include "python/extractor.hpp"
#include "python/interpreter_exit.hpp"
#include "python/python_transform.hpp"
#include "python/strict_int.hpp"

namespace tavik::python {

namespace {

using namespace tavik::extractor;  // the core's names, unqualified
using Base = Extractor<double>;

// Features of every frame of a NumPy array, float64 or float32 (converted
// exactly to double inside the workers, without a copy of the whole array):
// - 2-D, shape (n, num_samples), rows with unit inner stride (any row stride,
//   so that a strided sliding-window view is read in place);
// - 3-D, shape (n, channels, num_samples), any strides: each frame reduced
//   to one channel by on_channel, as the matrix form of __call__ does.
// Helper threads run native code only. A native extractor runs on every
// thread with the interpreter lock released; the calling thread takes it
// about every 20 ms between its frames to run the Python signal handlers, so
// that Ctrl-C stops the batch once the frames in progress are done. A Python
// transform is then applied on the calling thread, row after row. A Python
// compute runs frame by frame on the calling thread, with the lock held. A
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
    const bool python_compute = dynamic_cast<const PyExtractor*>(&self) != nullptr;
    const bool python_transform = transform_callable(self.transform) != nullptr;

    auto run = [&](unsigned threads, const StopCheck& stop, bool transformed) {
        if (!channels) {
            const auto rows = array.strides(0);
            if (is_double) {
                extract_batch<double, double>(self, data, num_frames, rows, destination, threads,
                                              stop, transformed);
            } else {
                extract_batch<double, float>(self, data, num_frames, rows, destination, threads,
                                             stop, transformed);
            }
        } else {
            const auto count = static_cast<std::size_t>(array.shape(1));
            if (is_double) {
                extract_batch_channels<double, double>(self, data, num_frames, count,
                                                       array.strides(0), array.strides(1),
                                                       array.strides(2), destination, threads,
                                                       stop, transformed);
            } else {
                extract_batch_channels<double, float>(self, data, num_frames, count,
                                                      array.strides(0), array.strides(1),
                                                      array.strides(2), destination, threads,
                                                      stop, transformed);
            }
        }
    };
    if (python_compute) {
        run(1, [] {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            return false;
        }, true);
        return out;
    }
    without_lock([&](const StopCheck& signal_raised) {
        run(static_cast<unsigned>(num_threads), signal_raised, !python_transform);
    });
    if (python_transform) {
        LockHeldPauses pause;
        for (std::size_t i = 0; i < num_frames; ++i) {
            self.apply_transform(destination + i * self.num_features, self.num_features);
            pause();
        }
    }
    return out;
}

}  // namespace

void bind_frame_batch(ExtractorClass& extractor) {
    extractor.def("batch", &batch, py::arg("frames"), py::arg("num_threads") = 0,
                  docstrings::extractor_batch);
}

}  // namespace tavik::python
