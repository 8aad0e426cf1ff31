// FrailZone: the weak-region diagnoser that callers use. It splits the data, builds the
// slicing strategy, runs the fit driver and packages what it kept into result records.
#include <pybind11/numpy.h>

#include <string>
#include <vector>

#include "fit_driver.hpp"
#include "input_checks.hpp"
#include "dask_input.hpp"
#include "orrin/regions.hpp"
#include "pyclass.hpp"
#include "region_support.hpp"
#include "registry.hpp"
#include "row_gather.hpp"

namespace frailzone {

namespace {

constexpr const char* kFrailZoneDoc =
    "Frailzone Test\n"
    "\n"
    "Finds the regions of one or two features where the model's error is markedly worse\n"
    "than on the data as a whole.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "estimator : object\n"
    "    The model to diagnose.\n"
    "slice_features : list of str\n"
    "    The list of one or two feature names used for slicing.\n"
    "task_type : {\"regression\", \"classification\"}, default=None\n"
    "    The task type of the model.\n"
    "threshold : float, default=1.2\n"
    "    The threshold that decides the minimal error gap for a weak region.\n"
    "method : {\"histogram\", \"tree\"}, default=\"histogram\"\n"
    "    The slicing method: \"histogram\" (equal-width binning) or \"tree\" (a decision tree\n"
    "    fitted to generate regions).\n"
    "bins : int, default=10\n"
    "    The number of bins for histogram slicing.\n"
    "max_depth : int, default=2\n"
    "    The maximal depth of the tree for tree slicing.\n"
    "min_samples : int, default=20\n"
    "    The minimal sample size of a selected region.\n"
    "metric : dict, default=None\n"
    "    The scoring configuration, e.g. {\"name\": \"MSE\"}; None means MSE.\n"
    "use_test : bool, default=False\n"
    "    Fit the slicing strategy on the test split (true) or on the training split.\n"
    "random_state : int, default=0\n"
    "    The random seed.\n";

constexpr const char* kInitDoc =
    "init(self, estimator, slice_features, task_type=None, threshold=1.2, method='histogram', "
    "bins=10, max_depth=2, min_samples=20, metric=None, use_test=False, random_state=0)\n"
    "--\n\n"
    "Store the configuration; nothing is validated until `fit`.";

constexpr const char* kFitDoc =
    "fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, "
    "sample_weight=None, feature_names=None, feature_types=None, target_name=None, "
    "predict_name=None)\n"
    "--\n\n"
    "Fit frailzone diagnoser\n"
    "\n"
    "The fitted strategy is kept in `diag` and the weak-region table in `output`. When fit\n"
    "raises, the diagnoser keeps the state of its previous fit.\n"
    "\n"
    "A dask array `x` (with the splits as dask boolean masks aligned with `x`, or as row\n"
    "positions) is diagnosed partition by partition on the current dask client and never\n"
    "gathered: the histogram method runs as passes over the partitions and gives the same\n"
    "regions, bounds and counts as in memory, with scores within 1e-12 relative (the sums\n"
    "are added in another order than numpy's pairwise sum); it needs an additive metric.\n"
    "The tree method gathers the slicing columns, targets, predictions and weights of both\n"
    "splits, and refuses when they would take more than a quarter of the available memory.\n"
    "Afterwards get_target_idx and get_shift return lazy dask collections; get_distance is\n"
    "exact for PSI with uniform buckets and within a stated bound for KS and WD1.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n"
    "    The feature matrix.\n"
    "y : array-like of shape (n_samples,)\n"
    "    The target.\n"
    "train_idx, test_idx : array-like of int or bool\n"
    "    Row positions (or boolean masks) of the training and the test split.\n"
    "prediction : array-like of shape (n_samples,), default=None\n"
    "    The model's predictions; None predicts with the estimator.\n"
    "prediction_proba : array-like of shape (n_samples,), default=None\n"
    "    Predicted probabilities of the positive class, for metrics that need them.\n"
    "sample_weight : array-like of shape (n_samples,), default=None\n"
    "    Sample weights; None means all 1.\n"
    "feature_names : list of str, default=None\n"
    "    One name per column of `x`.\n"
    "feature_types : list of str, default=None\n"
    "    One type per column of `x`.\n"
    "target_name, predict_name : str, default=None\n"
    "    Display names of the target and the prediction.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "None\n";

constexpr const char* kTargetIdxDoc =
    "get_target_idx(self)\n--\n\n"
    "Get sample index in Weak region\n"
    "\n"
    "A row is inside a region when its first slicing value lies in [\"lb1\", \"ub1\") and,\n"
    "with two slicing features, its second in [\"lb2\", \"ub2\"); a bound pair with equal\n"
    "values holds the rows equal to that value.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray of int\n"
    "    Positions within the rows the strategy was fitted on (the test split when\n"
    "    `use_test` is true, else the training split), region by region in table order,\n"
    "    ascending within each region.\n";

constexpr const char* kResultDoc =
    "get_result(self)\n--\n\n"
    "Get frailzone result\n"
    "\n"
    "Returns\n"
    "-------\n"
    "TestDataResult\n"
    "    Key \"frailzone_result\": the configuration, the weak-region limit and the table.\n";

constexpr const char* kMarginalDoc =
    "get_marginal(self)\n--\n\n"
    "Get marginal frailzone result\n"
    "\n"
    "Returns\n"
    "-------\n"
    "TestDataResult\n"
    "    Key \"frailzone_plot\": what `plot_marginal` draws.\n";

bool is_text(const py::object& value, const char* text) {
    return py::isinstance<py::str>(value) && value.cast<std::string>() == text;
}

void frailzone_init(py::object self, py::object estimator, py::object slice_features,
                    py::object task_type, py::object threshold, py::object method, py::object bins,
                    py::object max_depth, py::object min_samples, py::object metric,
                    py::object use_test, py::object random_state) {
    orrin_py::super_of(module_attr("FrailZone"), self)
        .attr("__init__")(estimator, task_type, random_state);
    self.attr("slice_features") = slice_features;
    self.attr("threshold") = threshold;
    self.attr("method") = method;
    self.attr("bins") = bins;
    self.attr("max_depth") = max_depth;
    self.attr("min_samples") = min_samples;
    self.attr("metric") = metric;
    self.attr("use_test") = use_test;
    self.attr("random_state") = random_state;
    self.attr("diag") = py::none();
    self.attr("output") = py::none();
}

py::object take(const py::object& values, const py::object& idx) {
    return values.is_none() ? py::none() : py::object(values[idx]);
}

void frailzone_fit(py::object self, py::object x, py::object y, py::object train_idx,
                   py::object test_idx, py::object prediction, py::object prediction_proba,
                   py::object sample_weight, py::object feature_names, py::object feature_types,
                   py::object target_name, py::object predict_name) {
    // The fit writes to the diagnoser only once everything has succeeded, so a refused fit
    // leaves it as its previous fit left it.
    if (orrin_py::is_dask_collection(x)) {
        orrin_py::dask_shell("frailzone", "fit")(self, x, y, train_idx, test_idx, prediction,
                                                 prediction_proba, sample_weight, feature_names,
                                                 feature_types, target_name, predict_name);
        return;
    }
    check_fit_arguments(self, sample_weight);
    // The data that the base class's fit checks and stores, in its order; nothing is stored yet.
    const py::dict data = orrin_py::super_of(module_attr("FrailZone"), self)
                              .attr("_checked_data")(x, y, train_idx, test_idx, prediction,
                                                     prediction_proba, sample_weight, feature_names,
                                                     feature_types, target_name, predict_name);

    const py::object method = self.attr("method");
    py::object diag;
    if (is_text(method, "tree")) {
        diag = module_attr("TreeSlicing")(py::arg("estimator") = self.attr("estimator"),
                                          py::arg("slice_features") = self.attr("slice_features"),
                                          py::arg("task_type") = self.attr("task_type"),
                                          py::arg("threshold") = self.attr("threshold"),
                                          py::arg("max_depth") = self.attr("max_depth"),
                                          py::arg("min_samples") = self.attr("min_samples"),
                                          py::arg("metric") = self.attr("metric"));
    } else if (is_text(method, "histogram")) {
        diag = module_attr("HistogramSlicing")(
            py::arg("estimator") = self.attr("estimator"),
            py::arg("slice_features") = self.attr("slice_features"),
            py::arg("task_type") = self.attr("task_type"),
            py::arg("threshold") = self.attr("threshold"),
            py::arg("min_samples") = self.attr("min_samples"), py::arg("bins") = self.attr("bins"),
            py::arg("metric") = self.attr("metric"));
    } else {
        raise_orrin_error("frailzone method should be either histogram or tree.");
    }
    const py::object names = data["feature_names"];
    slice_columns(self.attr("slice_features"), names);

    const py::object stored_x = data["x"];
    const py::object stored_y = data["y"];
    const py::object train = data["train_idx"];
    const py::object test = data["test_idx"];
    const py::object weights = data["sample_weight"];
    const bool needs_proba = py::bool_(diag.attr("needs_proba"));
    const py::object source = needs_proba ? data["pred_proba"] : data["pred"];
    if (source.is_none()) {
        const std::string metric = py::str(diag.attr("score_name"));
        throw py::value_error(needs_proba
                                  ? "the metric " + metric +
                                        " needs predicted probabilities: pass prediction_proba "
                                        "or an estimator with predict_proba."
                                  : "the metric " + metric +
                                        " needs predictions: pass prediction or an estimator "
                                        "with predict.");
    }
    check_split_metric_inputs(stored_y, source, train, test, needs_proba);
    py::object output;
    if (uses_builtin_fit(diag)) {
        // The driver reads both splits in place from the stored arrays: it gathers the set it
        // fits on (the strategy keeps those arrays) and of the other set only what it needs.
        const py::ssize_t rows = py::len(stored_x);
        output = run_slicing_fit(
            diag, {stored_x, stored_y, source, weights, row_positions(train, rows, "train_idx")},
            {stored_x, stored_y, source, weights, row_positions(test, rows, "test_idx")}, names,
            self.attr("use_test"));
    } else {
        output = diag.attr("fit")(
            py::arg("train_x") = stored_x[train], py::arg("train_y") = stored_y[train],
            py::arg("test_x") = stored_x[test], py::arg("test_y") = stored_y[test],
            py::arg("train_pred") = take(source, train), py::arg("test_pred") = take(source, test),
            py::arg("train_sample_weight") = take(weights, train),
            py::arg("test_sample_weight") = take(weights, test), py::arg("feature_names") = names,
            py::arg("use_test") = self.attr("use_test"));
    }
    for (const auto& [name, value] : data) self.attr(name) = value;
    self.attr("diag") = diag;
    self.attr("output") = output;
}

// Bounds of a region row on one feature: [lb, ub), or [lb, lb] when both are equal.
orrin::Bound target_bound(const py::handle& row, const char* lb_key, const char* ub_key,
                          std::size_t r) {
    const double lb = record_bound(row, lb_key, r);
    const double ub = record_bound(row, ub_key, r);
    return {lb, ub, lb == ub};
}

py::object get_target_idx(py::object self) {
    require_fitted(self, "get_target_idx");
    py::object diag = self.attr("diag");
    if (orrin_py::is_dask_collection(py::getattr(diag, "x", py::none()))) {
        return orrin_py::dask_shell("frailzone", "target_idx")(self);
    }
    py::list stats(diag.attr("weak_region_stats"));
    if (stats.size() == 0) return module_attr("np").attr("concatenate")(py::list());
    py::array x = as_matrix(diag.attr("x"), "diag.x");
    const std::vector<py::ssize_t> fidx = fidx_positions(diag.attr("fidx"), x.shape(1));
    const bool two = fidx.size() != 1;
    std::vector<orrin::Bound> first, second;
    for (std::size_t r = 0; r < stats.size(); ++r) {
        first.push_back(target_bound(stats[r], "lb1", "ub1", r));
        if (two) second.push_back(target_bound(stats[r], "lb2", "ub2", r));
    }
    const orrin::RegionMembership regions(first, second);
    const ColumnRef c0 = numeric_column(x, fidx[0], "diag.x");
    if (!two) return region_rows(regions, c0, nullptr).rows;
    const ColumnRef c1 = numeric_column(x, fidx[1], "diag.x");
    return region_rows(regions, c0, &c1).rows;
}

// The strategy settings that open both result records, in their key order.
py::dict settings_record(const py::object& self) {
    py::dict value;
    for (const char* key : {"slice_features", "bins", "method", "min_samples", "metric"}) {
        value[key] = self.attr(key);
    }
    return value;
}

py::object get_result(py::object self) {
    require_fitted(self, "get_result");
    py::object diag = self.attr("diag");
    py::dict value = settings_record(self);
    value["threshold_value"] = diag.attr("threshold_value");
    value["data"] = self.attr("output");
    return module_attr("TestDataResult")(py::arg("key") = "frailzone_result",
                                         py::arg("value") = value);
}

py::object get_marginal(py::object self) {
    require_fitted(self, "get_marginal");
    py::object diag = self.attr("diag");
    py::object rule_list = py::hasattr(diag, "rule_list") ? py::object(diag.attr("rule_list"))
                                                          : py::object(py::none());
    py::dict value = settings_record(self);
    value["weak_region_stats"] = diag.attr("weak_region_stats");
    value["fidx"] = diag.attr("fidx");
    value["rule_list"] = rule_list;
    value["x"] = diag.attr("x");
    value["y"] = diag.attr("y");
    value["threshold_value"] = diag.attr("threshold_value");
    value["score_name"] = diag.attr("score_name");
    value["_sign"] = diag.attr("score_sign");
    value["scores"] = diag.attr("scores");
    value["use_test"] = diag.attr("use_test");
    value["is_metric_additive"] = diag.attr("is_metric_additive");
    value["feature_names"] = self.attr("feature_names");
    return module_attr("TestDataResult")(py::arg("key") = "frailzone_plot",
                                         py::arg("value") = value);
}

}  // namespace

void register_frailzone(py::module_& m) {
    py::object cls = orrin_py::make_class(m, "FrailZone", py::make_tuple(m.attr("BaseDiagnoser")),
                                          kFrailZoneDoc);
    orrin_py::def_init(cls, &frailzone_init, kInitDoc, py::arg("estimator"),
                       py::arg("slice_features"), py::arg("task_type") = py::none(),
                       py::arg("threshold") = 1.2, py::arg("method") = "histogram",
                       py::arg("bins") = 10, py::arg("max_depth") = 2, py::arg("min_samples") = 20,
                       py::arg("metric") = py::none(), py::arg("use_test") = false,
                       py::arg("random_state") = 0);
    orrin_py::def_method(
        cls, "fit", &frailzone_fit, kFitDoc, py::arg("x"), py::arg("y"), py::arg("train_idx"),
        py::arg("test_idx"), py::arg("prediction") = py::none(),
        py::arg("prediction_proba") = py::none(), py::arg("sample_weight") = py::none(),
        py::arg("feature_names") = py::none(), py::arg("feature_types") = py::none(),
        py::arg("target_name") = py::none(), py::arg("predict_name") = py::none());
    orrin_py::def_method(cls, "get_target_idx", &get_target_idx, kTargetIdxDoc);
    orrin_py::def_method(cls, "get_result", &get_result, kResultDoc);
    orrin_py::def_method(cls, "get_marginal", &get_marginal, kMarginalDoc);
}

}  // namespace frailzone
