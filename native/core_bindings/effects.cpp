#include "orrin/effects.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <optional>
#include <string>

#include "effect_args.hpp"
#include "registry.hpp"

namespace core_bindings {

namespace {

namespace fx = orrin::effects;

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

template <class T>
fx::Column<T> column_of(const py::array& x, std::size_t j) {
    const char* base = static_cast<const char*>(x.data());
    return fx::Column<T>{base + static_cast<std::ptrdiff_t>(j) * x.strides(1), x.strides(0),
                         static_cast<std::size_t>(x.shape(0))};
}

py::array matrix_argument(const py::object& obj, const char* name) {
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string(name) + " must be a numpy array");
    auto x = py::reinterpret_borrow<py::array>(obj);
    if (x.ndim() != 2)
        throw py::value_error(std::string(name) + " must be two-dimensional, got " +
                              std::to_string(x.ndim()) + " dimension(s)");
    return x;
}

std::size_t column_argument(std::ptrdiff_t j, const py::array& x, const char* name) {
    if (j < 0 || j >= x.shape(1))
        throw py::value_error(std::string(name) + " " + std::to_string(j) +
                              " is out of range for a matrix with " + std::to_string(x.shape(1)) +
                              " column(s)");
    return static_cast<std::size_t>(j);
}

void check_splits(const Doubles& s, const char* name) {
    if (s.ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
    const double* p = s.data();
    for (py::ssize_t i = 0; i < s.shape(0); ++i) {
        if (std::isnan(p[i])) throw py::value_error(std::string(name) + " must not hold NaN");
        if (i > 0 && !(p[i - 1] < p[i]))
            throw py::value_error(std::string(name) + " must be strictly ascending");
    }
}

py::dict decode_effects(const py::bytes& model_json, const py::object& X_obj, bool purification,
                        bool true_to_data) {
    const std::string text = model_json;
    const py::array x = matrix_argument(X_obj, "X");
    std::optional<fx::EffectModel> model;
    const fx::Ensemble ensemble = decode_booster(text);
    std::string error;
    if (static_cast<std::size_t>(x.shape(1)) != ensemble.num_feature)
        throw py::value_error("X has " + std::to_string(x.shape(1)) +
                              " column(s) but the booster was trained on " +
                              std::to_string(ensemble.num_feature) + " feature(s)");
    const auto n = static_cast<std::size_t>(x.shape(0));
    if (n == 0) throw py::value_error("X must have at least one row");

    with_element_type(x, "X", [&](auto tag) {
        using T = typename decltype(tag)::type;
        py::gil_scoped_release release;
        model = fx::build_tables(ensemble);
        std::vector<std::vector<std::uint32_t>> bins(model->mains.size());
        std::vector<const std::uint32_t*> views;
        for (std::size_t k = 0; k < model->mains.size(); ++k) {
            const auto& m = model->mains[k];
            bins[k].resize(n);
            if (!fx::bin_column(column_of<T>(x, m.feature), m.splits.data(), m.splits.size(),
                                bins[k].data())) {
                error = "X contains NaN in column " + std::to_string(m.feature) +
                        "; effects are defined for observed values only";
                return;
            }
            views.push_back(bins[k].data());
        }
        fx::PurifyOptions options;
        options.purify = purification;
        options.true_to_data = true_to_data;
        fx::weigh_and_purify(*model, views, n, options);
    });
    if (!error.empty()) throw py::value_error(error);

    return effects_record(*model, ensemble);
}

py::array_t<double> evaluate_1d(const py::object& X_obj, std::ptrdiff_t column,
                                const Doubles& splits, const Doubles& values, bool left_open) {
    const py::array x = matrix_argument(X_obj, "X");
    const std::size_t j = column_argument(column, x, "fidx");
    check_splits(splits, "split_points");
    const auto m = static_cast<std::size_t>(splits.shape(0));
    if (values.ndim() != 1 || static_cast<std::size_t>(values.shape(0)) != m + 1)
        throw py::value_error("values must be one-dimensional with len(split_points) + 1 = " +
                              std::to_string(m + 1) + " entries");
    py::array_t<double> out(x.shape(0));
    double* dst = out.mutable_data();
    with_element_type(x, "X", [&](auto tag) {
        using T = typename decltype(tag)::type;
        py::gil_scoped_release release;
        fx::evaluate_1d(column_of<T>(x, j), splits.data(), m, values.data(), left_open, dst);
    });
    return out;
}

py::array_t<double> evaluate_2d(const py::object& X_obj, std::ptrdiff_t column0,
                                std::ptrdiff_t column1, const Doubles& splits0,
                                const Doubles& splits1, const Doubles& values, bool left_open) {
    const py::array x = matrix_argument(X_obj, "X");
    const std::size_t j0 = column_argument(column0, x, "fidx");
    const std::size_t j1 = column_argument(column1, x, "fidx");
    check_splits(splits0, "split_points_0");
    check_splits(splits1, "split_points_1");
    const auto m0 = static_cast<std::size_t>(splits0.shape(0));
    const auto m1 = static_cast<std::size_t>(splits1.shape(0));
    if (values.ndim() != 2 || static_cast<std::size_t>(values.shape(0)) != m0 + 1 ||
        static_cast<std::size_t>(values.shape(1)) != m1 + 1)
        throw py::value_error(
            "values must be a table of shape (len(split_points_0) + 1, "
            "len(split_points_1) + 1) = (" +
            std::to_string(m0 + 1) + ", " + std::to_string(m1 + 1) + ")");
    py::array_t<double> out(x.shape(0));
    double* dst = out.mutable_data();
    with_element_type(x, "X", [&](auto tag) {
        using T = typename decltype(tag)::type;
        py::gil_scoped_release release;
        fx::evaluate_2d(column_of<T>(x, j0), column_of<T>(x, j1), splits0.data(), m0,
                        splits1.data(), m1, values.data(), left_open, dst);
    });
    return out;
}

}  // namespace

void register_effects(py::module_& m) {
    m.def("xgb_effects", &decode_effects, py::arg("model_json"), py::arg("X"),
          py::arg("purification"), py::arg("true_to_data"),
          "Main and pair effect tables of a depth-2 booster (its JSON model text), weighted "
          "by the rows of X and purified when asked.");
    m.def("evaluate_1d", &evaluate_1d, py::arg("X"), py::arg("column"), py::arg("split_points"),
          py::arg("values"), py::arg("left_open"),
          "Piecewise-constant main effect evaluated on one column of X.");
    m.def("evaluate_2d", &evaluate_2d, py::arg("X"), py::arg("column0"), py::arg("column1"),
          py::arg("split_points_0"), py::arg("split_points_1"), py::arg("values"),
          py::arg("left_open"), "Piecewise-constant pair effect evaluated on two columns of X.");
}

}  // namespace core_bindings
