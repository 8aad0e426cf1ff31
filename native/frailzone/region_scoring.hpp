// Scoring one region of samples, shared by BaseSlicing's region services and the histogram
// passes. An additive metric's region score is `np.average(scores[idx], weights=w[idx])`
// computed in C++ with numpy's summation; any other metric calls the Python scoring callable
// once per region. A region whose weights sum to zero gets a NaN score (never weak) instead
// of numpy's ZeroDivisionError, so zero-weighted rows never make a legal fit fail.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "array_args.hpp"
#include "orrin/numeric.hpp"

namespace frailzone {

namespace py = pybind11;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The metric fields of a slicing object that region scoring reads.
struct SlicingConfig {
    bool additive = true;
    py::object scoring_func;
    py::object score_sign;
    py::object threshold_value;
    double sign = -1.0;
    double limit = kNaN;

    // Reads the fields; `with_limit` also reads `threshold_value` (set by `_fit`).
    static SlicingConfig read(const py::object& self, bool with_limit) {
        SlicingConfig c;
        c.additive = py::bool_(self.attr("is_metric_additive")).cast<bool>();
        c.scoring_func = self.attr("scoring_func");
        c.score_sign = self.attr("score_sign");
        if (with_limit) c.set_limit(self.attr("threshold_value"));
        return c;
    }
    // Sets the weak-region limit.
    void set_limit(py::object value) {
        threshold_value = std::move(value);
        if (additive) {
            sign = as_double(score_sign, "score_sign");
            limit = as_double(threshold_value, "threshold_value");
        }
    }

    // `score_sign * score <= score_sign * threshold_value`; a NaN score is never weak.
    bool weak(double score) const { return sign * score <= sign * limit; }
    bool weak(const py::object& score) const {
        py::object lhs = score_sign * score;
        py::object rhs = score_sign * threshold_value;
        const int res = PyObject_RichCompareBool(lhs.ptr(), rhs.ptr(), Py_LE);
        if (res < 0) throw py::error_already_set();
        return res == 1;
    }
};

// The samples a region is drawn from, all indexed by the same row positions.
struct RegionData {
    const double* x = nullptr;
    std::size_t n = 0;
    std::size_t x_stride = 1;
    bool has_range = false;  // x_lo, x_hi: the minimum and maximum of x, when known
    double x_lo = 0.0;
    double x_hi = 0.0;
    const double* scores = nullptr;   // per-sample scores (additive metrics)
    const double* weights = nullptr;  // float64 weights, or null for no weights
    py::object y;                     // numpy arrays indexed for the scoring callable
    py::object preds;
    py::object sample_weight;  // None or a numpy array
};

// Validated inputs of a region service; keeps the converted arrays alive.
struct RegionArgs {
    py::object x;
    py::array_t<double> scores, weights;
    RegionData data;
};

inline RegionArgs region_args(const SlicingConfig& c, const Column& x, const py::object& y,
                              const py::object& preds, const py::object& scores,
                              const py::object& sample_weight) {
    RegionArgs a;
    a.x = x.keep;
    const std::size_t n = x.n;
    a.data.x = x.data;
    a.data.n = n;
    a.data.x_stride = x.stride;
    a.data.has_range = x.has_range;
    a.data.x_lo = x.lo;
    a.data.x_hi = x.hi;
    a.data.y = aligned_array(y, n, "y");
    a.data.preds = aligned_array(preds, n, "preds");
    if (c.additive) {
        py::array s = as_ndarray(scores, "scores");
        if (s.ndim() != 1)
            throw py::value_error("scores must be one-dimensional per-sample scores");
        check_rows(s, n, "scores");
        a.scores = as_float64(s, "scores");
        a.data.scores = a.scores.data();
    }
    a.data.sample_weight = py::none();
    if (!sample_weight.is_none()) {
        py::array w = as_ndarray(sample_weight, "sample_weight");
        if (w.ndim() != 1) throw py::value_error("sample_weight must be one-dimensional");
        check_rows(w, n, "sample_weight");
        a.weights = as_float64(w, "sample_weight");
        a.data.weights = a.weights.data();
        a.data.sample_weight = w;
    }
    return a;
}

// Sum of the gathered weights, as np.sum(w[idx]).
inline double gathered_weight_sum(const double* w, const std::int64_t* idx, std::size_t m,
                                  std::vector<double>& scratch) {
    scratch.resize(m);
    for (std::size_t i = 0; i < m; ++i) scratch[i] = w[idx[i]];
    return orrin::numpy_sum(scratch.data(), m);
}

// Additive score of rows idx (m > 0); NaN when the weights sum to zero.
inline double additive_score(const RegionData& d, const std::int64_t* idx, std::size_t m,
                             const double* weights, std::vector<double>& scratch) {
    double out = kNaN;
    if (!orrin::gathered_average(d.scores, weights, idx, m, scratch, out)) return kNaN;
    return out;
}

// Score of a non-empty region with a non-additive metric:
// scoring_func(y[idx], preds[idx], sample_weight=w[idx]).
inline py::object callable_score(const SlicingConfig& c, const RegionData& d,
                                 const std::int64_t* idx, std::size_t m,
                                 std::vector<double>& scratch) {
    if (d.weights != nullptr && gathered_weight_sum(d.weights, idx, m, scratch) == 0.0) {
        return py::float_(kNaN);
    }
    py::array_t<py::ssize_t> pos = intp_array(idx, m);
    py::object w = d.sample_weight.is_none() ? py::object(py::none()) : d.sample_weight[pos];
    return c.scoring_func(d.y[pos], d.preds[pos], py::arg("sample_weight") = w);
}

// Region score as a Python object; NaN for an empty region.
inline py::object region_score(const SlicingConfig& c, const RegionData& d, const std::int64_t* idx,
                               std::size_t m, std::vector<double>& scratch) {
    if (m == 0) return py::float_(kNaN);
    if (c.additive) return py::float_(additive_score(d, idx, m, d.weights, scratch));
    return callable_score(c, d, idx, m, scratch);
}

// Whether a scored region is weak; NaN never is.
inline bool region_is_weak(const SlicingConfig& c, const py::object& score) {
    if (PyFloat_Check(score.ptr()) && std::isnan(PyFloat_AS_DOUBLE(score.ptr()))) return false;
    if (c.additive) return c.weak(score.cast<double>());
    return c.weak(score);
}

}  // namespace frailzone
