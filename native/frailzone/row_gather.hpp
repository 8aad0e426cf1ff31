// The rows of a split, read from the caller's arrays by position: the fit driver gathers the
// set it fits on and reads the other set's rows where they lie.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace frailzone {

namespace py = pybind11;

// Row positions of a split as a C-contiguous int64 array, each in [0, rows): negative
// positions count from the end, as numpy indexing does. IndexError for a position outside
// the rows, TypeError for anything but integers.
py::array_t<std::int64_t> row_positions(const py::object& idx, py::ssize_t rows,
                                        const std::string& name);

// a[pos] along the first axis of a one- or two-dimensional array, as numpy indexing gives it
// (same dtype, C-contiguous, equal values), copied in C++ into a block that goes back to the
// reuse cache when the array dies. Arrays of Python objects are indexed by numpy.
py::array take_rows(const py::array& a, const py::array_t<std::int64_t>& pos);

}  // namespace frailzone
