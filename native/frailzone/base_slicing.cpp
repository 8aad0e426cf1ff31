// BaseSlicing: construction (metric fields, threshold conversion) and the region services.
#include <string>
#include <vector>

#include "array_args.hpp"
#include "input_checks.hpp"
#include "orrin/histogram.hpp"
#include "pyclass.hpp"
#include "region_scoring.hpp"
#include "registry.hpp"
#include "slicing_docs.hpp"

namespace frailzone {

namespace {

constexpr const char* kBaseSlicingDoc =
    "Base slice class for analyzing 1D or 2D numerical features.\n"
    "\n"
    "The weak-region threshold is defined as threshold * test set performance for\n"
    "regression and 1 / threshold * test set performance for classification: for a metric\n"
    "where larger is better a positive threshold is stored as its reciprocal.\n"
    "\n" FRAILZONE_SLICING_COMMON_PARAMS
    "min_samples : int, default=30\n"
    "    Smallest number of samples of a weak region.\n" FRAILZONE_SLICING_METRIC_PARAM;

constexpr const char* kInitDoc =
    "init(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, "
    "min_samples=30, metric=None)\n--\n\n"
    "Store the configuration and resolve the metric.";

constexpr const char* kGetIndexDoc =
    "get_index(self, x, lb1, ub1, lb2=None, ub2=None, right=False)\n--\n\n"
    "Row positions of the samples inside a region.\n"
    "\n"
    "With one slicing feature the region is ``lb1 <= x < ub1`` (``x <= ub1`` when `right`);\n"
    "with two, ``x`` holds the second feature of one first-feature bin and the test uses\n"
    "``lb2`` and ``ub2`` the same way.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples,)\n"
    "    Values of the sliced feature (read as float64).\n"
    "lb1, ub1, lb2, ub2 : float\n"
    "    Region bounds; the lower bound is closed.\n"
    "right : bool, default=False\n"
    "    Whether the upper bound is closed.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "idx : ndarray of intp\n"
    "    Ascending row positions.";

constexpr const char* kGetRuleListDoc =
    "get_rule_list(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False, "
    "sample_weight=None)\n--\n\n"
    "Score record of one region.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples,)\n"
    "    Values of the sliced feature.\n"
    "y, preds : array-like of shape (n_samples,)\n"
    "    Targets and predictions, passed to the scoring function of a non-additive metric.\n"
    "scores : array-like of shape (n_samples,)\n"
    "    Per-sample scores, averaged for an additive metric.\n"
    "lb1, ub1, lb2, ub2, right\n"
    "    The region, as in `get_index`.\n"
    "sample_weight : array-like of shape (n_samples,), default=None\n"
    "    Sample weights.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "rule_list : list of dict\n"
    "    One record {\"splits\": {\"f0\": {\"lb\", \"ub\"}[, \"f1\": ...]}, \"values\": score,\n"
    "    \"counts\": number of samples}. The score is NaN for a region without samples or\n"
    "    whose weights sum to zero.";

constexpr const char* kEvaluateSliceDoc =
    "evaluate_slice(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False, "
    "sample_weight=None)\n--\n\n"
    "Whether one region is weak.\n"
    "\n"
    "A region is weak when ``score_sign * score <= score_sign * threshold_value``.\n"
    "Arguments as in `get_rule_list`.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "weak_region : list of dict\n"
    "    Empty, or one record {\"lb1\", \"ub1\"[, \"lb2\", \"ub2\"]} when the region is weak.\n"
    "    A region without samples, or whose weights sum to zero, is never weak.";

// Whether the region services take the one-feature form: `fidx`, set by the strategy's fit,
// holds one position.
bool one_feature_form(const py::object& self) {
    const py::object fidx = py::getattr(self, "fidx", py::none());
    if (fidx.is_none() && !py::hasattr(self, "fidx")) {
        const std::string message =
            "This " + py::str(py::type::of(self).attr("__name__")).cast<std::string>() +
            " is not fitted yet: call fit(...) before its region services.";
        PyErr_SetString(py::module_::import("sklearn.exceptions").attr("NotFittedError").ptr(),
                        message.c_str());
        throw py::error_already_set();
    }
    if (PyObject_HasAttrString(fidx.ptr(), "__len__") == 0 || py::isinstance<py::str>(fidx)) {
        throw py::type_error("fidx must list the slicing features' column positions, got " +
                             py::repr(fidx).cast<std::string>() + ".");
    }
    return py::len(fidx) == 1;
}

// The bounds that the membership test of the current form reads.
struct RegionBounds {
    double lb;
    double ub;
    bool closed;
};

RegionBounds membership_bounds(const py::object& self, const py::object& lb1, const py::object& ub1,
                               const py::object& lb2, const py::object& ub2,
                               const py::object& right) {
    const bool closed = py::bool_(right).cast<bool>();
    if (one_feature_form(self)) return {as_double(lb1, "lb1"), as_double(ub1, "ub1"), closed};
    return {as_double(lb2, "lb2"), as_double(ub2, "ub2"), closed};
}

std::vector<std::int64_t> members(const RegionData& d, const RegionBounds& b) {
    py::gil_scoped_release release;
    if (d.x_stride == 1) return orrin::interval_members(d.x, d.n, b.lb, b.ub, b.closed);
    std::vector<double> values(d.n);
    for (std::size_t i = 0; i < d.n; ++i) values[i] = d.x[i * d.x_stride];
    return orrin::interval_members(values.data(), d.n, b.lb, b.ub, b.closed);
}

py::object get_index(py::object self, py::object x, py::object lb1, py::object ub1, py::object lb2,
                     py::object ub2, py::object right) {
    const RegionBounds b = membership_bounds(self, lb1, ub1, lb2, ub2, right);
    py::array_t<double> values = float64_vector(x, "x", 0);
    RegionData d;
    d.x = values.data();
    d.n = static_cast<std::size_t>(values.shape(0));
    const std::vector<std::int64_t> rows = members(d, b);
    return intp_array(rows.data(), rows.size());
}

// The arguments of get_rule_list and evaluate_slice, checked, with the region's rows.
struct RegionCall {
    SlicingConfig config;
    bool one;
    RegionArgs args;
    std::vector<std::int64_t> idx;

    RegionCall(const py::object& self, bool with_limit, const py::object& x, const py::object& y,
               const py::object& preds, const py::object& scores, const py::object& lb1,
               const py::object& ub1, const py::object& lb2, const py::object& ub2,
               const py::object& right, const py::object& sample_weight)
        : config(SlicingConfig::read(self, with_limit)), one(one_feature_form(self)) {
        const RegionBounds b = membership_bounds(self, lb1, ub1, lb2, ub2, right);
        args = region_args(config, float64_column(as_ndarray(x, "x"), "x"), y, preds, scores,
                           sample_weight);
        idx = members(args.data, b);
    }
};

py::dict bounds_record(const py::object& lb, const py::object& ub) {
    py::dict r;
    r["lb"] = lb;
    r["ub"] = ub;
    return r;
}

py::list get_rule_list(py::object self, py::object x, py::object y, py::object preds,
                       py::object scores, py::object lb1, py::object ub1, py::object lb2,
                       py::object ub2, py::object right, py::object sample_weight) {
    const RegionCall call(self, false, x, y, preds, scores, lb1, ub1, lb2, ub2, right,
                          sample_weight);
    const bool one = call.one;
    const std::vector<std::int64_t>& idx = call.idx;
    std::vector<double> scratch;
    py::object score = region_score(call.config, call.args.data, idx.data(), idx.size(), scratch);
    py::dict splits;
    splits["f0"] = bounds_record(lb1, ub1);
    if (!one) splits["f1"] = bounds_record(lb2, ub2);
    py::dict record;
    record["splits"] = splits;
    record["values"] = score;
    record["counts"] = py::int_(idx.size());
    py::list out;
    out.append(record);
    return out;
}

py::list evaluate_slice(py::object self, py::object x, py::object y, py::object preds,
                        py::object scores, py::object lb1, py::object ub1, py::object lb2,
                        py::object ub2, py::object right, py::object sample_weight) {
    const RegionCall call(self, true, x, y, preds, scores, lb1, ub1, lb2, ub2, right,
                          sample_weight);
    const bool one = call.one;
    const std::vector<std::int64_t>& idx = call.idx;
    py::list out;
    if (idx.empty()) return out;
    std::vector<double> scratch;
    py::object score = region_score(call.config, call.args.data, idx.data(), idx.size(), scratch);
    if (!region_is_weak(call.config, score)) return out;
    py::dict record;
    record["lb1"] = lb1;
    record["ub1"] = ub1;
    if (!one) {
        record["lb2"] = lb2;
        record["ub2"] = ub2;
    }
    out.append(record);
    return out;
}

}  // namespace

void base_slicing_init(py::object self, py::object estimator, py::object slice_features,
                       py::object task_type, py::object threshold, py::object min_samples,
                       py::object metric) {
    self.attr("estimator") = estimator;
    self.attr("slice_features") = slice_features;
    self.attr("task_type") = task_type;
    self.attr("metric") = metric;
    self.attr("min_samples") = min_samples;

    py::object get_scoring_metric =
        py::module_::import("orrin.diagnoser.utils").attr("get_scoring_metric");
    py::object resolved = get_scoring_metric(self.attr("metric"), py::arg("average") = false);
    // Unpack exactly five values; anything else is the host's unpacking ValueError.
    py::list values = py::list(resolved);
    if (py::len(values) != 5) {
        throw py::value_error(py::len(values) > 5 ? "too many values to unpack (expected 5)"
                                                  : "not enough values to unpack (expected 5)");
    }
    self.attr("score_name") = values[0];
    self.attr("score_sign") = values[1];
    self.attr("scoring_func") = values[2];
    self.attr("needs_proba") = values[3];
    self.attr("is_metric_additive") = values[4];

    // A threshold that is no real number is stored unchanged and refused by fit.
    const py::int_ zero(0);
    const py::object sign = values[1];
    const bool invert = sign > zero && is_real_number(threshold) && threshold > zero;
    self.attr("threshold") = invert ? py::object(py::int_(1) / threshold) : threshold;
}

void register_base_slicing(py::module_& m) {
    py::object cls = orrin_py::make_class(m, "BaseSlicing", py::make_tuple(), kBaseSlicingDoc);
    orrin_py::def_init(cls, &base_slicing_init, kInitDoc, py::arg("estimator") = py::none(),
                       py::arg("slice_features") = py::none(), py::arg("task_type") = py::none(),
                       py::arg("threshold") = 1.2, py::arg("min_samples") = 30,
                       py::arg("metric") = py::none());
    orrin_py::def_method(cls, "get_index", &get_index, kGetIndexDoc, py::arg("x"), py::arg("lb1"),
                         py::arg("ub1"), py::arg("lb2") = py::none(), py::arg("ub2") = py::none(),
                         py::arg("right") = false);
    orrin_py::def_method(cls, "get_rule_list", &get_rule_list, kGetRuleListDoc, py::arg("x"),
                         py::arg("y"), py::arg("preds"), py::arg("scores"), py::arg("lb1"),
                         py::arg("ub1"), py::arg("lb2") = py::none(), py::arg("ub2") = py::none(),
                         py::arg("right") = false, py::arg("sample_weight") = py::none());
    orrin_py::def_method(cls, "evaluate_slice", &evaluate_slice, kEvaluateSliceDoc, py::arg("x"),
                         py::arg("y"), py::arg("preds"), py::arg("scores"), py::arg("lb1"),
                         py::arg("ub1"), py::arg("lb2") = py::none(), py::arg("ub2") = py::none(),
                         py::arg("right") = false, py::arg("sample_weight") = py::none());
}

}  // namespace frailzone
