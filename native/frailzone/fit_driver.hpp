// The fit driver behind BaseSlicing.fit, callable from C++ with the sets given either as
// arrays of their own or as rows of larger arrays, so that FrailZone.fit need not copy the
// set it does not fit on.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>

namespace frailzone {

namespace py = pybind11;

// One data set: x, y, pred and weight (None or one per row) aligned by rows; with `rows`,
// the set is the rows at those positions (each within the arrays) of arrays aligned with
// one another.
struct FitSet {
    py::object x;
    py::object y;
    py::object pred;
    py::object weight;
    std::optional<py::array_t<std::int64_t>> rows;
};

// BaseSlicing.fit on `self`: returns the weak-region table or None.
py::object run_slicing_fit(const py::object& self, const FitSet& train, const FitSet& test,
                           const py::object& feature_names, const py::object& use_test);

// Whether `self.fit` is BaseSlicing's own fit (not one a subclass replaced).
bool uses_builtin_fit(const py::object& self);

}  // namespace frailzone
