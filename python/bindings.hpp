// The registration of each concept of the core, one binding file each
// (named after the core file it binds), called in order by module.cpp.
#pragma once

#include <cstddef>

#include <pybind11/pybind11.h>

#include "extractor/extractor.hpp"
#include "extractor/gammatone_filterbank.hpp"
#include "python/extractor.hpp"

namespace tavik::python {

namespace py = pybind11;

using ExtractorClass = py::class_<extractor::Extractor<double>, PyExtractor>;
using FilterbankClass =
    py::class_<extractor::GammatoneFilterbank<double>, extractor::Extractor<double>>;

void bind_lockstep_kernels(py::module_& m);                               // kernel_choice
void bind_transforms(py::module_& m);                                     // _tavik.transforms
void bind_extractor(py::module_& m);                                      // _tavik.extractor
void bind_frame_batch(ExtractorClass& extractor);                         // Extractor.batch
void bind_gammatone_filterbank(py::module_& sub, py::handle metaclass);  // its classes
void bind_continuous_gammatone(FilterbankClass& filterbank);             // stream_*
void bind_gammatone_bands(FilterbankClass& filterbank);                  // bands_*
void bind_cepstra(py::module_& m);                                        // _tavik.cepstra

// A result of rows x columns items of `item` bytes must be describable by
// NumPy's strides, products in Py_ssize_t: else MemoryError(message),
// before they overflow.
inline void check_result_size(std::size_t rows, std::size_t columns, std::size_t item,
                              const char* message) {
    const auto max_values = static_cast<std::size_t>(PY_SSIZE_T_MAX) / item;
    if (columns > max_values || (rows > 0 && columns > max_values / rows)) {
        PyErr_SetString(PyExc_MemoryError, message);
        throw py::error_already_set();
    }
}

}  // namespace tavik::python
