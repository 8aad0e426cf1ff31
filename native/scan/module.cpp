// Module init of `orrin.diagnoser.scan`: binds the libraries and package services the scan
// uses, then creates its class.
#include <pybind11/pybind11.h>

#include "memory_functions.hpp"
#include "registry.hpp"

namespace py = pybind11;

PYBIND11_MODULE(scan, m) {
    py::options options;
    options.disable_function_signatures();

    m.doc() =
        "Weak-region scan: every feature and every pair of features searched for the "
        "regions where a model performs markedly worse than on the data as a whole.";

    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("BaseDiagnoser") = py::module_::import("orrin.diagnoser.base").attr("BaseDiagnoser");
    m.attr("BaseEstimator") = py::module_::import("sklearn.base").attr("BaseEstimator");
    py::module_ frailzone = py::module_::import("orrin.diagnoser.frailzone");
    m.attr("FrailZone") = frailzone.attr("FrailZone");
    m.attr("HistogramSlicing") = frailzone.attr("HistogramSlicing");
    m.attr("OrrinError") = py::module_::import("orrin.exceptions").attr("OrrinError");

    orrin_py::def_memory_functions(m);

    scan::register_weak_region_scan(m);
}
