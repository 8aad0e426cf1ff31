// BaseSlicing: construction (metric fields, threshold conversion) and the region services.
#include "pyclass.hpp"
#include "registry.hpp"

namespace frailzone {

namespace {

constexpr const char* kBaseSlicingDoc =
    "Base slice class for analyzing 1D or 2D numerical features.\n"
    "\n"
    "The weak-region threshold is defined as threshold * test set performance for\n"
    "regression and 1 / threshold * test set performance for classification: for a metric\n"
    "where larger is better a positive threshold is stored as its reciprocal.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "estimator : object, default=None\n"
    "    The model under diagnosis.\n"
    "slice_features : list of str, default=None\n"
    "    The one or two feature names to slice on.\n"
    "task_type : {\"regression\", \"classification\"}, default=None\n"
    "    The task type of the model.\n"
    "threshold : float, default=1.2\n"
    "    Factor that turns the overall score into the weak-region limit.\n"
    "min_samples : int, default=30\n"
    "    Smallest number of samples of a weak region.\n"
    "metric : dict, default=None\n"
    "    The scoring configuration, e.g. {\"name\": \"MSE\"}; None means MSE.\n";

constexpr const char* kInitDoc =
    "init(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, "
    "min_samples=30, metric=None)\n--\n\n"
    "Store the configuration and resolve the metric.";

}  // namespace

void base_slicing_init(py::object self, py::object estimator, py::object slice_features,
                       py::object task_type, py::object threshold, py::object min_samples,
                       py::object metric) {
    self.attr("estimator") = estimator;
    self.attr("slice_features") = slice_features;
    self.attr("task_type") = task_type;
    self.attr("metric") = metric;
    self.attr("min_samples") = min_samples;

    py::object get_scoring_metric = py::module_::import("orrin.diagnoser.utils").attr("get_scoring_metric");
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

    const py::int_ zero(0);
    const py::object sign = values[1];
    const bool invert = sign > zero && threshold > zero;
    self.attr("threshold") = invert ? py::object(py::int_(1) / threshold) : threshold;
}

void register_base_slicing(py::module_& m) {
    py::object cls = orrin_py::make_class(m, "BaseSlicing", py::make_tuple(), kBaseSlicingDoc);
    orrin_py::def_init(cls, &base_slicing_init, kInitDoc, py::arg("estimator") = py::none(),
                       py::arg("slice_features") = py::none(), py::arg("task_type") = py::none(),
                       py::arg("threshold") = 1.2, py::arg("min_samples") = 30,
                       py::arg("metric") = py::none());
}

}  // namespace frailzone
