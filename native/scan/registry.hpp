// Registration of the pieces of the `orrin.diagnoser.scan` module.
#pragma once

#include <pybind11/pybind11.h>

namespace scan {

namespace py = pybind11;

// WeakRegionScan: construction, fit, the per-candidate diagnoser and the figure
// (weak_region_scan.cpp, scan_plot.cpp).
void register_weak_region_scan(py::module_& m);
void register_scan_plot(py::module_& m);

}  // namespace scan
