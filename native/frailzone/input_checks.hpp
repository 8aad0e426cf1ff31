// Checks that the diagnoser's entry points run before they change anything: the settings a
// fit reads, the values that reach the metric, and whether a FrailZone has been fitted.
// Each raises a TypeError/ValueError (NotFittedError for the last) that names the argument.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace frailzone {

namespace py = pybind11;

// Refuses `values` (an array-like of targets, predictions, probabilities or weights) when one
// that reaches the metric is NaN, infinite or None, or when its dtype holds no numbers or
// labels (complex, datetime, structured). `rows`, when not None, is an integer array of the
// positions that reach the metric; only those are checked, and reported by position.
void check_metric_values(const py::handle& values, const std::string& name,
                         const py::handle& rows = py::none());

// check_metric_values of a target and the predictions scored against it.
void check_finite_metric_inputs(const py::handle& y, const py::handle& pred,
                                const std::string& name_y, const std::string& name_pred);

// The metric inputs of one data set of BaseSlicing.fit: `prefix`_y, `prefix`_pred and (when
// not None) `prefix`_sample_weight.
void check_metric_set(const std::string& prefix, const py::handle& y, const py::handle& pred,
                      const py::handle& sample_weight);

// FrailZone.fit: the target `y` and the metric's `source` (the predictions, or the
// probabilities when `needs_proba`) at the rows of both splits (integer positions), named as
// the caller passed them ("y", "prediction", "prediction_proba").
void check_split_metric_inputs(const py::object& y, const py::object& source,
                               const py::object& train_idx, const py::object& test_idx,
                               bool needs_proba);

// What a strategy's `_fit` is given to score with: additive scores must be finite (a NaN would
// make every region score and the limit NaN, so that no region is ever weak), and so must
// the weights, when given.
// `known_sum`, when given, is np.sum of the scores: finite scores have a finite sum, so a
// finite one saves reading them.
void check_pass_inputs(const py::object& self, const py::handle& scores,
                       const py::handle& sample_weight, const std::optional<double>& known_sum);

// The settings a slicing strategy's fit reads: `threshold` (a finite real number) and, for
// the built-in strategies, `min_samples` (histogram: a real number >= 0; tree: an integer
// >= 1 or a fraction in (0, 1), the leaf sizes the tree accepts), `bins` (histogram: an
// integer >= 1) and `max_depth` (tree: None or an integer >= 1); bool is no number here.
// With `warn_unused_features`, a histogram strategy given more than two distinct slicing
// features warns (OrrinWarning) that it slices on the first two.
void check_slicing_settings(const py::object& self, bool warn_unused_features);

// FrailZone.fit before anything else: the settings of its method (an unsupported method is
// reported later, as before) and the dtype of `sample_weight`.
void check_fit_arguments(const py::object& frailzone, const py::handle& sample_weight);

// Whether `value` is a real number (numbers.Real, bool excluded).
bool is_real_number(const py::handle& value);

// Raises sklearn's NotFittedError naming `call` when the FrailZone has no fitted strategy.
void require_fitted(const py::object& frailzone, const char* call);

}  // namespace frailzone
