// _tavik.kernel_choice: what the core's run-time dispatch
// (extractor/lockstep_kernels.hpp) chose.
#include <cstddef>

#include <pybind11/pybind11.h>

#include "extractor/lockstep_kernels.hpp"
#include "python/bindings.hpp"
#include "python/docstrings.hpp"

namespace tavik::python {

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

}  // namespace

void bind_lockstep_kernels(py::module_& m) {
    m.def("kernel_choice", &kernel_choice, docstrings::kernel_choice);
}

}  // namespace tavik::python
