// Boundary helpers shared by the diagnoser's bindings: array checks, numeric columns that
// C++ reads without the GIL, region records, slicing-feature positions, and region rows.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "orrin/regions.hpp"

namespace frailzone {

namespace py = pybind11;

// An attribute of the `orrin.diagnoser.frailzone` module, looked up at call time.
py::object module_attr(const char* name);

// Raises the package's OrrinError with `message`.
[[noreturn]] void raise_orrin_error(const std::string& message);

// `np.asarray(x)`, which must be two-dimensional with at least one row and one column.
py::array as_matrix(const py::object& x, const std::string& name);

// `np.asarray(values)` with `rows` entries along its first axis and `rows` entries in all.
py::array as_aligned(const py::object& values, py::ssize_t rows, const std::string& name,
                     const std::string& matrix_name);

// One column of a matrix as float64, readable without the GIL. `owner` keeps it alive.
struct ColumnRef {
    py::object owner;
    orrin::StridedColumn view;
    std::size_t size = 0;
};
ColumnRef numeric_column(const py::array& x, py::ssize_t c, const std::string& name);

// Raises ValueError: `name` holds NaN or infinity in the slicing feature `feature`.
[[noreturn]] void raise_not_finite(const std::string& name, const py::handle& feature);

// An integer argument (anything with `__index__`); TypeError naming `name` otherwise.
py::ssize_t index_value(const py::handle& value, const std::string& name);

// A bound of a region record as a float; `region` numbers the record in messages.
double record_bound(const py::handle& record, const char* key, std::size_t region);

// The column positions in a strategy's `fidx`: at least one, each within [0, columns).
std::vector<py::ssize_t> fidx_positions(const py::handle& fidx, py::ssize_t columns);

// Positions of the slicing features among `feature_names`, repeats removed keeping the
// first occurrence. Raises TypeError for anything but a list of names and ValueError for a
// name that is not a feature name.
std::vector<py::ssize_t> slice_columns(const py::handle& slice_features,
                                       const py::handle& feature_names);

// The rows of every region in one int64 array: region r holds rows[offsets[r]:offsets[r+1]].
struct RegionArrays {
    py::array_t<std::int64_t> rows;
    std::vector<std::int64_t> offsets;

    std::size_t count(std::size_t r) const {
        return static_cast<std::size_t>(offsets[r + 1] - offsets[r]);
    }
    // A view of region r's rows.
    py::object region(std::size_t r) const;
};
// Hands grouped rows to a numpy array that owns them.
RegionArrays to_arrays(orrin::RegionRows groups);
// The rows of every region among the rows of c0 (and c1 for two features).
RegionArrays region_rows(const orrin::RegionMembership& regions, const ColumnRef& c0,
                         const ColumnRef* c1);

// IndexError unless every row idx[0..count) lies in [0, n).
void check_rows_within(const std::int64_t* idx, std::size_t count, py::ssize_t n);

// `values[idx]` for region r's rows `idx`: a one-dimensional native float64 array is
// gathered in C++ (the same new float64 array), anything else is indexed by numpy, so the
// caller sees the dtype and shape that indexing gives.
py::object take_region(const py::array& values, const RegionArrays& rows, std::size_t r);

}  // namespace frailzone
