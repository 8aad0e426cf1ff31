#include "input_checks.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstddef>
#include <tuple>
#include <utility>
#include <vector>

#include "array_args.hpp"
#include "orrin/columns.hpp"
#include "region_support.hpp"

namespace frailzone {

namespace {

enum class Strategy { Histogram, Tree };

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

std::string dtype_name(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

[[noreturn]] void raise_bad_value(const std::string& name, const char* what, py::ssize_t row) {
    throw py::value_error(name + " holds " + what + " (first at row " + std::to_string(row) +
                          "); the metric cannot score it.");
}

// The row of position k of the checked values.
py::ssize_t row_of(const py::object& rows, py::ssize_t k) {
    if (rows.is_none()) return k;
    return py::reinterpret_borrow<py::array>(rows)[py::int_(k)].cast<py::ssize_t>();
}

// Position of the first NaN or infinity among floating-point values.
py::ssize_t first_non_finite(const py::array& values) {
    const py::ssize_t n = values.size();
    const bool in_place = values.ndim() == 1 && values.dtype().is(py::dtype::of<double>()) &&
                          (values.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
    if (in_place) {
        const orrin::StridedColumn c{static_cast<const char*>(values.data()), values.strides(0)};
        py::gil_scoped_release release;
        return static_cast<py::ssize_t>(orrin::first_non_finite(c, static_cast<std::size_t>(n)));
    }
    py::module_ np = numpy();
    py::array bad = np.attr("flatnonzero")(np.attr("logical_not")(np.attr("isfinite")(values)));
    return bad.size() == 0 ? n : bad.attr("__getitem__")(0).cast<py::ssize_t>();
}

// The position and kind of the first None, complex or non-finite number among object values.
std::pair<py::ssize_t, const char*> first_missing_object(const py::array& values) {
    const py::array items = numpy().attr("ascontiguousarray")(values);
    const py::object floating = numpy().attr("floating");
    const py::object complexfloating = numpy().attr("complexfloating");
    PyObject* const* item = static_cast<PyObject* const*>(items.data());
    const py::ssize_t n = items.size();
    for (py::ssize_t k = 0; k < n; ++k) {
        const py::handle v(item[k]);
        if (v.is_none()) return {k, "None"};
        if (PyComplex_Check(v.ptr()) || py::isinstance(v, complexfloating)) {
            return {k, "complex numbers"};
        }
        if ((PyFloat_Check(v.ptr()) || py::isinstance(v, floating)) &&
            !std::isfinite(PyFloat_AsDouble(v.ptr()))) {
            return {k, "NaN or infinite values"};
        }
    }
    return {n, nullptr};
}

bool is_bool(const py::handle& value) {
    return PyBool_Check(value.ptr()) || py::isinstance(value, numpy().attr("bool_"));
}

bool is_real(const py::handle& value) { return is_real_number(value); }

bool is_integer(const py::handle& value) {
    return !is_bool(value) &&
           py::isinstance(value, py::module_::import("numbers").attr("Integral"));
}

double real_value(const py::handle& value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

void check_threshold(const py::handle& threshold) {
    if (!is_real(threshold)) {
        throw py::type_error("threshold must be a real number, got " + repr_of(threshold) + ".");
    }
    if (!std::isfinite(real_value(threshold))) {
        throw py::value_error("threshold must be finite, got " + repr_of(threshold) + ".");
    }
}

// The largest tree setting: the tree's own counters are 32-bit and overflow beyond it.
constexpr long long kMaxTreeSetting = 2147483647;

void check_at_most(const py::handle& value, const char* name, long long most) {
    if (py::reinterpret_borrow<py::object>(value) > py::int_(most)) {
        throw py::value_error(std::string(name) + " must be at most " + std::to_string(most) +
                              ", got " + repr_of(value) + ".");
    }
}

void check_positive_integer(const py::handle& value, const char* name) {
    if (!is_integer(value)) {
        throw py::type_error(std::string(name) + " must be an integer >= 1, got " + repr_of(value) +
                             ".");
    }
    if (py::reinterpret_borrow<py::object>(value) < py::int_(1)) {
        throw py::value_error(std::string(name) + " must be an integer >= 1, got " +
                              repr_of(value) + ".");
    }
}

void check_min_samples(const py::handle& min_samples, Strategy strategy) {
    if (strategy == Strategy::Histogram) {
        if (!is_real(min_samples)) {
            throw py::type_error("min_samples must be a real number >= 0, got " +
                                 repr_of(min_samples) + ".");
        }
        const double v = real_value(min_samples);
        if (std::isnan(v) || v < 0.0) {
            throw py::value_error("min_samples must be a real number >= 0, got " +
                                  repr_of(min_samples) + ".");
        }
        return;
    }
    // The tree's smallest leaf: a count, or a fraction of the samples.
    const char* rule =
        "min_samples must be an integer >= 1 or a fraction in (0, 1) for tree "
        "slicing, got ";
    if (!is_real(min_samples)) throw py::type_error(rule + repr_of(min_samples) + ".");
    if (is_integer(min_samples)) {
        if (py::reinterpret_borrow<py::object>(min_samples) < py::int_(1)) {
            throw py::value_error(rule + repr_of(min_samples) + ".");
        }
        check_at_most(min_samples, "min_samples", kMaxTreeSetting);
        return;
    }
    const double v = real_value(min_samples);
    if (!(v > 0.0 && v < 1.0)) throw py::value_error(rule + repr_of(min_samples) + ".");
}

void check_settings(const py::object& obj, Strategy strategy) {
    check_threshold(obj.attr("threshold"));
    check_min_samples(obj.attr("min_samples"), strategy);
    if (strategy == Strategy::Histogram) {
        check_positive_integer(obj.attr("bins"), "bins");
    } else {
        const py::object max_depth = obj.attr("max_depth");
        if (!max_depth.is_none()) {
            check_positive_integer(max_depth, "max_depth");
            check_at_most(max_depth, "max_depth", kMaxTreeSetting);
        }
    }
}

// Warns when more than two distinct slicing features are given: the first two are used.
void warn_of_unused_features(const py::object& slice_features) {
    if (slice_features.is_none() || py::isinstance<py::str>(slice_features) ||
        !py::hasattr(slice_features, "__iter__")) {
        return;  // refused with its own error where the positions are looked up
    }
    std::vector<py::object> distinct;
    for (py::handle name : slice_features) {
        bool repeat = false;
        for (const py::object& seen : distinct) {
            const int eq = PyObject_RichCompareBool(seen.ptr(), name.ptr(), Py_EQ);
            if (eq < 0) throw py::error_already_set();
            repeat = repeat || eq == 1;
        }
        if (!repeat) distinct.push_back(py::reinterpret_borrow<py::object>(name));
    }
    if (distinct.size() <= 2) return;
    std::string ignored;
    for (std::size_t k = 2; k < distinct.size(); ++k) {
        ignored += (k > 2 ? ", " : "") + repr_of(distinct[k]);
    }
    const std::string message =
        "histogram slicing uses at most two slicing features: it slices on " +
        repr_of(distinct[0]) + " and " + repr_of(distinct[1]) + " and ignores " + ignored + ".";
    if (PyErr_WarnEx(module_attr("OrrinWarning").ptr(), message.c_str(), 1) != 0) {
        throw py::error_already_set();
    }
}

}  // namespace

bool is_real_number(const py::handle& value) {
    return !is_bool(value) && py::isinstance(value, py::module_::import("numbers").attr("Real"));
}

void check_metric_values(const py::handle& values, const std::string& name,
                         const py::handle& rows) {
    if (values.is_none()) return;  // a missing argument is the caller's to report
    py::array a = as_ndarray(values, name.c_str());
    if (a.ndim() != 1) a = a.attr("ravel")();
    const char kind = a.dtype().kind();
    if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'U' || kind == 'S') return;
    if (kind != 'f' && kind != 'O') {
        throw py::type_error(name + " must hold real numbers or labels, got dtype " +
                             dtype_name(a) + ".");
    }
    const auto first_bad = [kind](const py::array& v) -> std::pair<py::ssize_t, const char*> {
        if (kind == 'O') return first_missing_object(v);
        const py::ssize_t k = first_non_finite(v);
        return {k, k < v.size() ? "NaN or infinite values" : nullptr};
    };
    // All values are read first, without copying the rows; only a fault is looked for
    // again among the rows that reach the metric.
    auto [k, what] = first_bad(a);
    if (what == nullptr) return;
    const py::object selected = py::reinterpret_borrow<py::object>(rows);
    if (!selected.is_none()) std::tie(k, what) = first_bad(a[selected]);
    if (what != nullptr) raise_bad_value(name, what, row_of(selected, k));
}

void check_finite_metric_inputs(const py::handle& y, const py::handle& pred,
                                const std::string& name_y, const std::string& name_pred) {
    check_metric_values(y, name_y);
    check_metric_values(pred, name_pred);
}

void check_metric_set(const std::string& prefix, const py::handle& y, const py::handle& pred,
                      const py::handle& sample_weight) {
    check_finite_metric_inputs(y, pred, prefix + "_y", prefix + "_pred");
    check_metric_values(sample_weight, prefix + "_sample_weight");
}

void check_split_metric_inputs(const py::object& y, const py::object& source,
                               const py::object& train_idx, const py::object& test_idx,
                               bool needs_proba) {
    // Every value is read first; the rows of the splits are joined only to place a fault.
    const std::pair<py::object, std::string> inputs[] = {
        {y, "y"}, {source, needs_proba ? "prediction_proba" : "prediction"}};
    for (const auto& [values, name] : inputs) {
        try {
            check_metric_values(values, name);
        } catch (const py::value_error&) {
            check_metric_values(values, name,
                                numpy().attr("concatenate")(py::make_tuple(train_idx, test_idx)));
        }
    }
}

void check_pass_inputs(const py::object& self, const py::handle& scores,
                       const py::handle& sample_weight, const std::optional<double>& known_sum) {
    check_metric_values(sample_weight, "sample_weight");
    if (!py::bool_(self.attr("is_metric_additive"))) return;
    if (known_sum && std::isfinite(*known_sum)) return;
    check_metric_values(scores, "scores");
}

void check_slicing_settings(const py::object& self, bool warn_unused_features) {
    const py::object histogram = module_attr("HistogramSlicing");
    const py::object tree = module_attr("TreeSlicing");
    if (py::isinstance(self, tree)) {
        check_settings(self, Strategy::Tree);
    } else if (py::isinstance(self, histogram)) {
        check_settings(self, Strategy::Histogram);
        if (warn_unused_features) warn_of_unused_features(self.attr("slice_features"));
    } else {
        check_threshold(self.attr("threshold"));
    }
}

void check_fit_arguments(const py::object& frailzone, const py::handle& sample_weight) {
    const py::object method = frailzone.attr("method");
    if (py::isinstance<py::str>(method)) {
        const std::string text = method.cast<std::string>();
        if (text == "tree") check_settings(frailzone, Strategy::Tree);
        if (text == "histogram") check_settings(frailzone, Strategy::Histogram);
    }
    if (sample_weight.is_none()) return;
    const py::array w = as_ndarray(sample_weight, "sample_weight");
    const char kind = w.dtype().kind();
    if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f') return;
    if (kind == 'O') {
        try {
            numpy().attr("asarray")(w, py::arg("dtype") = numpy().attr("float64"));
            return;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        }
    }
    throw py::type_error("sample_weight must hold real numbers, got dtype " + dtype_name(w) + ".");
}

void require_fitted(const py::object& frailzone, const char* call) {
    if (!py::getattr(frailzone, "diag", py::none()).is_none()) return;
    const py::object not_fitted = py::module_::import("sklearn.exceptions").attr("NotFittedError");
    const std::string message =
        "This FrailZone is not fitted yet: call fit(...) before " + std::string(call) + "().";
    PyErr_SetString(not_fitted.ptr(), message.c_str());
    throw py::error_already_set();
}

}  // namespace frailzone
