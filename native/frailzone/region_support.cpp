#include "region_support.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "array_args.hpp"
#include "arrays.hpp"

namespace frailzone {

py::object module_attr(const char* name) {
    return py::module_::import("orrin.diagnoser.frailzone").attr(name);
}

void raise_orrin_error(const std::string& message) {
    py::set_error(module_attr("OrrinError"), message.c_str());
    throw py::error_already_set();
}

py::array as_matrix(const py::object& x, const std::string& name) {
    if (x.is_none()) throw py::type_error(name + " must be a two-dimensional matrix, got None.");
    py::array arr = py::module_::import("numpy").attr("asarray")(x);
    if (arr.ndim() != 2) {
        throw py::value_error(name + " must be a two-dimensional matrix, got " +
                              std::to_string(arr.ndim()) + " dimension(s).");
    }
    if (arr.shape(0) == 0 || arr.shape(1) == 0) {
        throw py::value_error(name + " must hold at least one row and one column.");
    }
    return arr;
}

py::array as_aligned(const py::object& values, py::ssize_t rows, const std::string& name,
                     const std::string& matrix_name) {
    if (values.is_none()) {
        throw py::value_error(name + " is required: both sets are scored region by region.");
    }
    py::array arr = py::module_::import("numpy").attr("asarray")(values);
    if (arr.ndim() == 0 || arr.shape(0) != rows || arr.size() != rows) {
        throw py::value_error(name + " must hold one entry per row of " + matrix_name + " (" +
                              std::to_string(rows) + "), got shape " +
                              py::str(arr.attr("shape")).cast<std::string>() + ".");
    }
    return arr;
}

ColumnRef numeric_column(const py::array& x, py::ssize_t c, const std::string& name) {
    if (x.ndim() != 2 || c < 0 || c >= x.shape(1)) {
        throw py::index_error("column " + std::to_string(c) + " is outside " + name + ".");
    }
    ColumnRef out;
    out.size = static_cast<std::size_t>(x.shape(0));
    const bool direct =
        x.dtype().is(py::dtype::of<double>()) && x.attr("flags").attr("aligned").cast<bool>();
    if (direct) {
        out.owner = x;
        out.view.data = static_cast<const char*>(x.data()) + c * x.strides(1);
        out.view.stride = x.strides(0);
        return out;
    }
    py::object column = x[py::make_tuple(py::slice(py::none(), py::none(), py::none()), c)];
    const std::string what = "column " + std::to_string(c) + " of " + name;
    py::array_t<double> converted =
        as_float64(py::reinterpret_borrow<py::array>(column), what.c_str());
    out.owner = converted;
    out.view.data = reinterpret_cast<const char*>(converted.data());
    out.view.stride = sizeof(double);
    return out;
}

void raise_not_finite(const std::string& name, const py::handle& feature) {
    throw py::value_error(name + " holds NaN or infinite values in the slicing feature " +
                          std::string(py::repr(feature)) + ".");
}

py::ssize_t index_value(const py::handle& value, const std::string& name) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error(name + " must be an integer, got " + std::string(py::repr(value)) +
                             ".");
    }
    int overflow = 0;
    const long long out = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
    // Integers beyond the range saturate, so that the caller's range check refuses them with
    // its own error.
    if (overflow > 0 || out > PY_SSIZE_T_MAX) return PY_SSIZE_T_MAX;
    if (overflow < 0 || out < PY_SSIZE_T_MIN) return PY_SSIZE_T_MIN;
    return static_cast<py::ssize_t>(out);
}

double record_bound(const py::handle& record, const char* key, std::size_t region) {
    py::object value;
    try {
        value = record[py::str(key)];
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyError) && !e.matches(PyExc_TypeError)) throw;
        throw py::key_error("weak region " + std::to_string(region) + " has no bound \"" + key +
                            "\".");
    }
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::type_error("weak region " + std::to_string(region) + " has a bound \"" + key +
                             "\" that is not a number: " + std::string(py::repr(value)) + ".");
    }
    return v;
}

std::vector<py::ssize_t> fidx_positions(const py::handle& fidx, py::ssize_t columns) {
    py::array arr = py::module_::import("numpy").attr("asarray")(fidx);
    const char kind = arr.dtype().kind();
    if (arr.ndim() != 1 || arr.size() == 0 || (kind != 'i' && kind != 'u')) {
        throw py::value_error("fidx must list one or two integer column positions, got " +
                              std::string(py::repr(fidx)) + ".");
    }
    std::vector<py::ssize_t> out;
    for (py::handle v : arr) {
        const py::ssize_t c = index_value(v, "fidx");
        if (c < 0 || c >= columns) {
            throw py::value_error("fidx position " + std::to_string(c) + " is outside the " +
                                  std::to_string(columns) + " columns of the feature matrix.");
        }
        out.push_back(c);
    }
    return out;
}

std::vector<py::ssize_t> slice_columns(const py::handle& slice_features,
                                       const py::handle& feature_names) {
    if (slice_features.is_none() || py::isinstance<py::str>(slice_features) ||
        py::isinstance<py::bytes>(slice_features) || !py::hasattr(slice_features, "__iter__")) {
        throw py::type_error("slice_features must be a list of one or two feature names, got " +
                             std::string(py::repr(slice_features)) + ".");
    }
    py::list names(py::reinterpret_borrow<py::object>(feature_names));
    std::vector<py::ssize_t> out;
    for (py::handle name : slice_features) {
        py::ssize_t pos = -1;
        for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(names.size()); ++i) {
            const int eq = PyObject_RichCompareBool(names[i].ptr(), name.ptr(), Py_EQ);
            if (eq < 0) throw py::error_already_set();
            if (eq == 1) {
                pos = i;
                break;
            }
        }
        if (pos < 0) {
            throw py::value_error("slice feature " + std::string(py::repr(name)) +
                                  " is not a feature name; feature names are " +
                                  std::string(py::repr(names)) + ".");
        }
        bool repeat = false;
        for (py::ssize_t p : out) repeat = repeat || p == pos;
        if (!repeat) out.push_back(pos);
    }
    return out;
}

py::object RegionArrays::region(std::size_t r) const {
    return rows[py::slice(offsets[r], offsets[r + 1], 1)];
}

RegionArrays to_arrays(orrin::RegionRows groups) {
    RegionArrays out;
    out.offsets = std::move(groups.offsets);
    const std::size_t size = groups.rows.size();
    out.rows = orrin_py::adopt_block(groups.rows.release(), size);
    return out;
}

void check_rows_within(const std::int64_t* idx, std::size_t count, py::ssize_t n) {
    bool inside = true;
    for (std::size_t i = 0; i < count; ++i) inside = inside && idx[i] >= 0 && idx[i] < n;
    if (!inside) throw py::index_error("a region row lies outside the array");
}

py::object take_region(const py::array& values, const RegionArrays& rows, std::size_t r) {
    const bool direct = values.ndim() == 1 && values.dtype().is(py::dtype::of<double>()) &&
                        values.attr("flags").attr("aligned").cast<bool>();
    if (!direct) return values[rows.region(r)];
    const std::size_t count = rows.count(r);
    const std::int64_t* idx = rows.rows.data() + rows.offsets[r];
    check_rows_within(idx, count, values.shape(0));
    py::array_t<double> out = orrin_py::block_array<double>(count);
    double* dst = out.mutable_data();
    const orrin::StridedColumn src{static_cast<const char*>(values.data()), values.strides(0)};
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < count; ++i) dst[i] = src[static_cast<std::size_t>(idx[i])];
    }
    return std::move(out);
}

RegionArrays region_rows(const orrin::RegionMembership& regions, const ColumnRef& c0,
                         const ColumnRef* c1) {
    orrin::RegionRows groups;
    {
        py::gil_scoped_release release;
        groups = regions.members(c0.view, c1 != nullptr ? &c1->view : nullptr, c0.size);
    }
    return to_arrays(std::move(groups));
}

}  // namespace frailzone
