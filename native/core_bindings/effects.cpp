#include "orrin/effects.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>

#include "registry.hpp"

namespace core_bindings {

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A 2-D numeric matrix whose columns the kernels read in place (float64 or float32, any
// strides); other numeric dtypes, pandas frames and nested lists are converted to float64.
struct Matrix {
    py::array array;
    std::size_t rows = 0;
    std::size_t cols = 0;
    bool is_float32 = false;

    orrin::ColumnView column(std::size_t j) const {
        orrin::ColumnView v;
        v.base = static_cast<const char*>(array.data()) +
                 static_cast<std::ptrdiff_t>(j) * array.strides(1);
        v.stride = array.strides(0);
        v.is_float32 = is_float32;
        return v;
    }
};

Matrix as_matrix(const py::object& x, const char* name) {
    py::module_ np = py::module_::import("numpy");
    py::array a;
    try {
        a = np.attr("asarray")(x);
    } catch (py::error_already_set&) {
        throw py::value_error(std::string(name) + " must be a numeric matrix");
    }
    if (a.ndim() != 2)
        throw py::value_error(std::string(name) + " must be a 2-D matrix, got " +
                              std::to_string(a.ndim()) + " dimension(s)");
    const char kind = a.dtype().kind();
    const auto itemsize = a.dtype().itemsize();
    Matrix m;
    if (kind == 'f' && (itemsize == 8 || itemsize == 4) &&
        a.dtype().attr("isnative").cast<bool>()) {
        m.is_float32 = itemsize == 4;
    } else if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'O') {
        try {
            a = np.attr("asarray")(a, "float64");
        } catch (py::error_already_set&) {
            throw py::value_error(std::string(name) + " must be a numeric matrix");
        }
    } else {
        throw py::value_error(std::string(name) + " must be a numeric matrix, got dtype " +
                              py::str(a.dtype()).cast<std::string>());
    }
    m.array = a;
    m.rows = static_cast<std::size_t>(a.shape(0));
    m.cols = static_cast<std::size_t>(a.shape(1));
    return m;
}

std::size_t column_index(const py::handle& idx, std::size_t cols, const char* what) {
    py::object index = py::module_::import("operator").attr("index");
    long long j;
    try {
        j = index(idx).cast<long long>();
    } catch (py::error_already_set&) {
        throw py::value_error(std::string(what) + " must hold integer column indices");
    }
    if (j < 0 || static_cast<unsigned long long>(j) >= cols)
        throw py::value_error(std::string(what) + " index " + std::to_string(j) +
                              " is out of range for a matrix with " + std::to_string(cols) +
                              " column(s)");
    return static_cast<std::size_t>(j);
}

std::vector<double> split_points(const py::object& s, const char* name) {
    DoubleArray a;
    try {
        a = DoubleArray::ensure(py::module_::import("numpy").attr("asarray")(s, "float64"));
    } catch (py::error_already_set&) {
        throw py::value_error(std::string(name) + " must be a 1-D array of numbers");
    }
    if (!a || a.ndim() != 1)
        throw py::value_error(std::string(name) + " must be a 1-D array of numbers");
    std::vector<double> out(a.data(), a.data() + a.shape(0));
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (std::isnan(out[i])) throw py::value_error(std::string(name) + " must not hold NaN");
        if (i > 0 && !(out[i - 1] < out[i]))
            throw py::value_error(std::string(name) + " must be strictly increasing");
    }
    return out;
}

DoubleArray effect_values(const py::object& v, std::size_t ndim) {
    DoubleArray a;
    try {
        a = DoubleArray::ensure(py::module_::import("numpy").attr("asarray")(v, "float64"));
    } catch (py::error_already_set&) {
        throw py::value_error("values must be an array of numbers");
    }
    if (!a || static_cast<std::size_t>(a.ndim()) != ndim)
        throw py::value_error("values must be a " + std::to_string(ndim) + "-D array");
    return a;
}

py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

py::dict xgb_effects(const py::bytes& model_json, const py::object& x, bool purification,
                     bool true_to_data) {
    const Matrix m = as_matrix(x, "X");
    if (m.rows == 0) throw py::value_error("X must have at least one row");
    const std::string text = model_json;
    orrin::EffectTables tables;
    orrin::BinnedData binned;
    std::map<std::size_t, double> main_imp;
    std::map<std::pair<std::size_t, std::size_t>, double> pair_imp;
    bool has_nan = false;
    {
        py::gil_scoped_release release;
        try {
            const orrin::DecodedEnsemble ensemble =
                orrin::decode_model_json(text.data(), text.size());
            if (ensemble.num_feature != m.cols)
                throw orrin::ModelError("X has " + std::to_string(m.cols) +
                                        " column(s), the model was trained on " +
                                        std::to_string(ensemble.num_feature));
            tables = orrin::build_effect_tables(ensemble);
        } catch (const orrin::ModelError& e) {
            py::gil_scoped_acquire acquire;
            throw py::value_error(e.what());
        }
        binned.rows = m.rows;
        binned.bins.resize(m.cols);
        for (std::size_t j = 0; j < m.cols && !has_nan; ++j) {
            const orrin::ColumnView c = m.column(j);
            for (std::size_t r = 0; r < m.rows; ++r)
                if (std::isnan(c.at(r))) {
                    has_nan = true;
                    break;
                }
            if (has_nan) break;
            binned.bins[j].resize(m.rows);
            orrin::assign_bins(c, m.rows, tables.grid[j], true, binned.bins[j].data());
        }
        if (!has_nan) {
            if (purification) orrin::purify(tables, binned, true_to_data);
            main_imp = orrin::main_importance(tables, binned);
            pair_imp = orrin::pair_importance(tables, binned);
        }
    }
    if (has_nan) throw py::value_error("X must not contain NaN");

    py::list grid;
    for (const auto& g : tables.grid) grid.append(to_array(g));
    py::list mains;
    for (const auto& [j, values] : tables.mains)
        mains.append(py::make_tuple(j, to_array(values), main_imp[j]));
    py::list pairs;
    for (const auto& [key, values] : tables.pairs) {
        py::array_t<double> table({static_cast<py::ssize_t>(tables.grid[key.first].size() + 1),
                                   static_cast<py::ssize_t>(tables.grid[key.second].size() + 1)});
        std::copy(values.begin(), values.end(), table.mutable_data());
        pairs.append(py::make_tuple(key.first, key.second, table, pair_imp[key]));
    }
    py::dict out;
    out["intercept"] = tables.intercept;
    out["grid"] = grid;
    out["mains"] = mains;
    out["pairs"] = pairs;
    return out;
}

py::array_t<double> eval_1d(const py::object& x, const py::object& fidx, const py::object& splits,
                            const py::object& values, bool left_open) {
    const Matrix m = as_matrix(x, "X");
    if (py::len(fidx) != 1) throw py::value_error("fidx must hold exactly one column index");
    const std::size_t j = column_index(fidx[py::int_(0)], m.cols, "fidx");
    const std::vector<double> s = split_points(splits, "split_points");
    const DoubleArray v = effect_values(values, 1);
    if (static_cast<std::size_t>(v.shape(0)) != s.size() + 1)
        throw py::value_error(
            "values must have len(split_points) + 1 = " + std::to_string(s.size() + 1) +
            " entries, got " + std::to_string(v.shape(0)));
    py::array_t<double> out(static_cast<py::ssize_t>(m.rows));
    const orrin::ColumnView c = m.column(j);
    double* o = out.mutable_data();
    {
        py::gil_scoped_release release;
        orrin::evaluate_1d(c, m.rows, s, v.data(), left_open, o);
    }
    return out;
}

py::array_t<double> eval_2d(const py::object& x, const py::object& fidx, const py::object& splits0,
                            const py::object& splits1, const py::object& values, bool left_open) {
    const Matrix m = as_matrix(x, "X");
    if (py::len(fidx) != 2) throw py::value_error("fidx must hold exactly two column indices");
    const std::size_t j0 = column_index(fidx[py::int_(0)], m.cols, "fidx");
    const std::size_t j1 = column_index(fidx[py::int_(1)], m.cols, "fidx");
    const std::vector<double> s0 = split_points(splits0, "split_points_0");
    const std::vector<double> s1 = split_points(splits1, "split_points_1");
    const DoubleArray v = effect_values(values, 2);
    if (static_cast<std::size_t>(v.shape(0)) != s0.size() + 1 ||
        static_cast<std::size_t>(v.shape(1)) != s1.size() + 1)
        throw py::value_error("values must have shape (" + std::to_string(s0.size() + 1) + ", " +
                              std::to_string(s1.size() + 1) + ")");
    py::array_t<double> out(static_cast<py::ssize_t>(m.rows));
    const orrin::ColumnView c0 = m.column(j0), c1 = m.column(j1);
    double* o = out.mutable_data();
    {
        py::gil_scoped_release release;
        orrin::evaluate_2d(c0, c1, m.rows, s0, s1, v.data(), left_open, o);
    }
    return out;
}

}  // namespace

void register_effects(py::module_& m) {
    m.def("xgb_effects", &xgb_effects, py::arg("model_json"), py::arg("X"), py::arg("purification"),
          py::arg("true_to_data"),
          "Decode a depth-2 booster's JSON model into effect tables on its split grid, purify "
          "them on X and measure their variance over X.");
    m.def("eval_1d", &eval_1d, py::arg("X"), py::arg("fidx"), py::arg("split_points"),
          py::arg("values"), py::arg("left_open"),
          "Evaluate a piecewise-constant main effect on the rows of X.");
    m.def("eval_2d", &eval_2d, py::arg("X"), py::arg("fidx"), py::arg("split_points_0"),
          py::arg("split_points_1"), py::arg("values"), py::arg("left_open"),
          "Evaluate a piecewise-constant pair effect on the rows of X.");
}

}  // namespace core_bindings
