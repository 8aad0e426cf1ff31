// Registration of the pieces of the `orrin.diagnoser.frailzone` module, one bindings file each.
#pragma once

#include <pybind11/pybind11.h>

namespace frailzone {

namespace py = pybind11;

// BaseSlicing: construction and the region services (base_slicing.cpp).
void register_base_slicing(py::module_& m);
// BaseSlicing.fit: the fit driver that re-scores weak regions (slicing_fit.cpp).
void register_slicing_fit(py::module_& m);
// HistogramSlicing (histogram_slicing.cpp).
void register_histogram_slicing(py::module_& m);
// TreeSlicing (tree_slicing.cpp).
void register_tree_slicing(py::module_& m);
// FrailZone: construction, fit and the result getters (frailzone_facade.cpp).
void register_frailzone(py::module_& m);
// FrailZone.get_distance and FrailZone.get_shift (distribution_shift.cpp).
void register_distribution_shift(py::module_& m);
// FrailZone.plot_marginal (plot_marginal.cpp).
void register_plot_marginal(py::module_& m);

}  // namespace frailzone
