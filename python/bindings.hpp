// The registration of each concept of the core, one binding file each
// (named after the core file it binds), called in order by module.cpp.
#pragma once

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
void bind_cepstra(py::module_& m);                                        // _tavik.cepstra

}  // namespace tavik::python
