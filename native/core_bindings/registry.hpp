// Registration of the pieces of `orrin._core`: the C++ kernels behind the package's Python
// host shells (tree functions, effect interpreters, distances), one bindings file each.
#pragma once

#include <pybind11/pybind11.h>

namespace core_bindings {

namespace py = pybind11;

// numpy-exact reductions (numeric.cpp).
void register_numeric(py::module_& m);
// Decoding depth-2 trees, effect tables, purification, piecewise evaluation (effects.cpp).
void register_effects(py::module_& m);
// Effect weights gathered block by block and added (effect_counts.cpp).
void register_effect_counts(py::module_& m);
// Per-partition kernels of the histogram slicing (slicing_parts.cpp).
void register_slicing_parts(py::module_& m);

}  // namespace core_bindings
