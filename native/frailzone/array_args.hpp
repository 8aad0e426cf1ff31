// Argument checks and conversions at the boundary of the slicing methods: every array-like a
// caller may pass (lists, numpy arrays of any numeric dtype or of objects holding numbers,
// non-contiguous views, pandas Series/DataFrame) becomes a numpy array, or the call fails
// with a ValueError/TypeError that names the argument.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "orrin/histogram.hpp"

namespace frailzone {

namespace py = pybind11;

inline py::module_ numpy() { return py::module_::import("numpy"); }

// np.asarray(obj); a failure becomes a TypeError naming the argument.
inline py::array as_ndarray(py::handle obj, const char* name) {
    try {
        return py::reinterpret_borrow<py::array>(numpy().attr("asarray")(obj));
    } catch (py::error_already_set& e) {
        throw py::type_error(std::string(name) + " must be array-like: " + e.what());
    }
}

// A float64 C-contiguous copy (or view) of a numeric array.
inline py::array_t<double> as_float64(const py::array& a, const char* name) {
    const char kind = a.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'O') {
        throw py::type_error(std::string(name) + " must hold real numbers, got dtype " +
                             py::str(a.dtype()).cast<std::string>());
    }
    try {
        return orrin_py::contiguous_float64(a);
    } catch (py::error_already_set& e) {
        throw py::type_error(std::string(name) + " must hold real numbers: " + e.what());
    }
}

// Number of rows of an array-like (its first dimension).
inline std::size_t row_count(const py::array& a, const char* name) {
    if (a.ndim() == 0) throw py::value_error(std::string(name) + " must be an array, not a scalar");
    return static_cast<std::size_t>(a.shape(0));
}

inline void check_rows(const py::array& a, std::size_t n, const char* name) {
    const std::size_t m = row_count(a, name);
    if (m != n) {
        throw py::value_error(std::string(name) + " has " + std::to_string(m) + " rows but x has " +
                              std::to_string(n));
    }
}

// None, or np.asarray(obj) with n rows.
inline py::object aligned_array(const py::object& obj, std::size_t n, const char* name) {
    if (obj.is_none()) return py::none();
    py::array a = as_ndarray(obj, name);
    check_rows(a, n, name);
    return std::move(a);
}

// A one-dimensional float64 vector of exactly n values (n == 0: any length).
inline py::array_t<double> float64_vector(py::handle obj, const char* name, std::size_t n) {
    py::array a = as_ndarray(obj, name);
    if (a.ndim() != 1) {
        throw py::value_error(std::string(name) + " must be one-dimensional, got " +
                              std::to_string(a.ndim()) + " dimensions");
    }
    if (n != 0) check_rows(a, n, name);
    return as_float64(a, name);
}

// A float64 column read in place where numpy's layout allows (float64, positive stride,
// aligned), else from a contiguous converted copy; `keep` holds the memory alive.
struct Column {
    py::object keep;
    const double* data = nullptr;
    std::size_t n = 0;
    std::size_t stride = 1;
    bool has_range = false;  // lo and hi known (a checked column)
    double lo = 0.0;
    double hi = 0.0;
};

inline Column float64_column(const py::array& a, const char* name) {
    if (a.ndim() != 1) {
        throw py::value_error(std::string(name) + " must be one-dimensional, got " +
                              std::to_string(a.ndim()) + " dimensions");
    }
    Column c;
    c.n = static_cast<std::size_t>(a.shape(0));
    const py::ssize_t step = a.ndim() == 1 ? a.strides(0) : 0;
    const bool in_place = a.dtype().is(py::dtype::of<double>()) && step > 0 &&
                          step % static_cast<py::ssize_t>(sizeof(double)) == 0 &&
                          reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) == 0;
    if (in_place) {
        c.keep = a;
        c.data = static_cast<const double*>(a.data());
        c.stride = static_cast<std::size_t>(step) / sizeof(double);
        return c;
    }
    py::array_t<double> copy = as_float64(a, name);
    c.data = copy.data();
    c.keep = std::move(copy);
    return c;
}

// Rejects NaN and infinite values in a column that is binned.
// Also records the column's minimum and maximum.
inline void check_finite(Column& x, const std::string& name) {
    if (x.n == 0) return;
    orrin::Range range{};
    {
        py::gil_scoped_release release;
        range = orrin::value_range(orrin::strided(x.data, x.stride), x.n);
    }
    x.has_range = true;
    x.lo = range.lo;
    x.hi = range.hi;
    if (!range.finite)
        throw py::value_error(name + " holds NaN or infinite values; they cannot be binned");
}

// check_finite of two columns of the same length in one pass; a fault of `a` is reported
// first.
inline void check_finite(Column& a, const std::string& name_a, Column& b,
                         const std::string& name_b) {
    if (a.n == 0 || b.n != a.n) {
        check_finite(a, name_a);
        check_finite(b, name_b);
        return;
    }
    orrin::Range r[2] = {};
    {
        py::gil_scoped_release release;
        orrin::value_ranges(orrin::strided(a.data, a.stride), orrin::strided(b.data, b.stride), a.n,
                            r);
    }
    const orrin::Range& ra = r[0];
    const orrin::Range& rb = r[1];
    const std::pair<Column*, const orrin::Range*> cols[2] = {{&a, &ra}, {&b, &rb}};
    for (const auto& [col, range] : cols) {
        col->has_range = true;
        col->lo = range->lo;
        col->hi = range->hi;
    }
    if (!ra.finite)
        throw py::value_error(name_a + " holds NaN or infinite values; they cannot be binned");
    if (!rb.finite)
        throw py::value_error(name_b + " holds NaN or infinite values; they cannot be binned");
}

// Positions as a numpy intp array.
inline py::array_t<py::ssize_t> intp_array(const std::int64_t* rows, std::size_t n) {
    py::array_t<py::ssize_t> out(static_cast<py::ssize_t>(n));
    py::ssize_t* dst = out.mutable_data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<py::ssize_t>(rows[i]);
    return out;
}

// A number argument (bound, threshold) as a double; None, text or a non-number is a
// TypeError.
inline double as_double(py::handle obj, const char* name) {
    if (obj.is_none()) throw py::type_error(std::string(name) + " must be a number, got None");
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr())) {
        throw py::type_error(std::string(name) + " must be a number, got " +
                             py::repr(obj).cast<std::string>());
    }
    try {
        return py::float_(py::reinterpret_borrow<py::object>(obj)).cast<double>();
    } catch (py::error_already_set&) {
        throw py::type_error(std::string(name) + " must be a number, got " +
                             py::repr(obj).cast<std::string>());
    }
}

// `bins` must be a positive integer (bool is refused); returns it capped at `cap`.
inline std::size_t bins_argument(py::handle bins, std::size_t cap) {
    const bool is_bool = PyBool_Check(bins.ptr()) || py::isinstance(bins, numpy().attr("bool_"));
    const bool is_integer =
        PyLong_Check(bins.ptr()) || py::isinstance(bins, numpy().attr("integer"));
    if (is_bool || !is_integer) {
        throw py::type_error("bins must be a positive integer, got " +
                             py::repr(bins).cast<std::string>());
    }
    py::int_ value(py::reinterpret_borrow<py::object>(bins));
    if (value <= py::int_(0)) {
        throw py::value_error("bins must be a positive integer, got " +
                              py::repr(bins).cast<std::string>());
    }
    if (value >= py::int_(cap)) return cap;
    return value.cast<std::size_t>();
}

}  // namespace frailzone
