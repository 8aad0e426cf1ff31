// XGB2Regressor and XGB2Classifier: constructor defaults, estimator tags, input validation
// and prediction.
#include <pybind11/numpy.h>

#include <cstdint>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "dask_input.hpp"
#include "module_names.hpp"
#include "orrin/xgb2_prep.hpp"
#include "pyclass.hpp"
#include "registry.hpp"

namespace xgb2 {

namespace {

#define XGB2_PARAMETERS_DOC                                                                \
    "Parameters\n"                                                                         \
    "----------\n"                                                                         \
    "n_estimators : int, default=100\n"                                                    \
    "    Number of boosted trees.\n"                                                       \
    "eta : float, default=0.3\n"                                                           \
    "    Boosting learning rate.\n"                                                        \
    "max_depth : int, default=2\n"                                                         \
    "    Maximum tree depth; effects can be parsed only for depths up to 2.\n"             \
    "tree_method : {\"exact\", \"hist\", \"approx\", \"gpu_hist\", \"auto\"}, "            \
    "default=\"auto\"\n"                                                                   \
    "    Tree construction method of xgboost.\n"                                           \
    "max_bin : int, default=256\n"                                                         \
    "    Maximum number of bins per feature for the histogram-based methods.\n"            \
    "reg_lambda : float, default=0\n"                                                      \
    "    L2 regularization term on leaf weights.\n"                                        \
    "reg_alpha : float, default=0\n"                                                       \
    "    L1 regularization term on leaf weights.\n"                                        \
    "gamma : float, default=0\n"                                                           \
    "    Minimum loss reduction required to split a leaf.\n"                               \
    "feature_names : list of str, default=None\n"                                          \
    "    The feature names; None names the columns \"X0\", \"X1\", ...\n"                  \
    "feature_types : list of str, default=None\n"                                          \
    "    The feature types, \"numerical\" or \"categorical\"; None makes all numerical.\n" \
    "mono_increasing_list : tuple of str, default=()\n"                                    \
    "    Names of the features constrained to a monotonically increasing effect.\n"        \
    "mono_decreasing_list : tuple of str, default=()\n"                                    \
    "    Names of the features constrained to a monotonically decreasing effect.\n"        \
    "random_state : int, default=0\n"                                                      \
    "    Random seed.\n"                                                                   \
    "\n"                                                                                   \
    "Attributes\n"                                                                         \
    "----------\n"                                                                         \
    "n_features_in_ : int\n"                                                               \
    "    Number of features seen during fit.\n"                                            \
    "is_fitted_ : bool\n"                                                                  \
    "    True once the model is fitted.\n"                                                 \
    "feature_names_ : list of str\n"                                                       \
    "    The feature names used by the model.\n"                                           \
    "feature_types_ : list of str\n"                                                       \
    "    The feature types used by the model.\n"                                           \
    "xgb_params_ : dict\n"                                                                 \
    "    The parameters given to the xgboost estimator.\n"

constexpr const char* kRegressorDoc = "Depth-2 XGBoostRegressor.\n\n" XGB2_PARAMETERS_DOC;
constexpr const char* kClassifierDoc = "Depth-2 XGBoostClassifier.\n\n" XGB2_PARAMETERS_DOC;

#undef XGB2_PARAMETERS_DOC

constexpr const char* kInitDoc =
    "init(self, n_estimators=100, eta=0.3, max_depth=2, tree_method='auto', max_bin=256, "
    "reg_lambda=0, reg_alpha=0, gamma=0, feature_names=None, feature_types=None, "
    "mono_increasing_list=(), mono_decreasing_list=(), random_state=0)\n--\n\n";

constexpr const char* kMoreTagsDoc =
    "_more_tags(self)\n--\n\n"
    "Skip some estimator checks.\n";

constexpr const char* kSklearnTagsDoc =
    "__sklearn_tags__(self)\n--\n\n"
    "Estimator tags of the scikit-learn releases that read tags from this method.\n";

constexpr const char* kRegressorValidateDoc =
    "_validate_input(self, x, y, sample_weight)\n--\n\n"
    "Validate the inputs of fit.\n"
    "\n"
    "Samples with zero weight are removed, the weights are normalized to sum to the\n"
    "sample size, and a single remaining sample is an error.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "y : array-like of shape (n_samples,)\n"
    "    Target response.\n"
    "sample_weight : array-like of shape (n_samples,) or None\n"
    "    Sample weight.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "x, y, sample_weight : the validated arrays, the last two one-dimensional.\n";

constexpr const char* kClassifierValidateDoc =
    "_validate_input(self, x, y, sample_weight)\n--\n\n"
    "Validate the inputs of fit.\n"
    "\n"
    "Samples with zero weight are removed, the weights are normalized to sum to the\n"
    "sample size, and a single remaining sample is an error. The target is encoded as\n"
    "0 (first class) and 1 (second class).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "y : array-like of shape (n_samples,)\n"
    "    Target labels, two classes.\n"
    "sample_weight : array-like of shape (n_samples,) or None\n"
    "    Sample weight.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "x, y, sample_weight : the validated arrays, the last two one-dimensional.\n";

constexpr const char* kRegressorPredictDoc =
    "predict(self, X)\n--\n\n"
    "Predict the target.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "X : array-like of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "np.ndarray of shape (n_samples,)\n"
    "    Predicted values.\n";

constexpr const char* kPredictProbaDoc =
    "predict_proba(self, X)\n--\n\n"
    "Predict the probabilities of each class.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "X : array-like of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "np.ndarray of shape (n_samples, 2)\n"
    "    Probabilities of the first and the second class.\n";

constexpr const char* kDecisionFunctionDoc =
    "decision_function(self, X)\n--\n\n"
    "Predict the raw value before softmax, that is the predicted logit.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "X : array-like of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "np.ndarray of shape (n_samples,)\n"
    "    Log-odds of the second class.\n";

constexpr const char* kClassifierPredictDoc =
    "predict(self, X)\n--\n\n"
    "Predict the class.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "X : array-like of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "np.ndarray of shape (n_samples,)\n"
    "    Predicted labels, in the label values given to fit.\n";

constexpr const char* kFeatureCountMessage =
    "The number of features in predict is\n"
    "                     different from the number of features in fit.";

constexpr double kProbabilityFloor = 1e-7;
constexpr double kProbabilityCeiling = 0.9999999;

py::dict more_tags(bool classifier) {
    py::dict tags;
    if (classifier) {
        tags["binary_only"] = true;
    }
    py::dict xfail;
    xfail["check_sample_weights_invariance"] =
        py::make_tuple("zero sample_weight is not equivalent to removing samples");
    tags["_xfail_checks"] = xfail;
    return tags;
}

// `x, y = self._validate_data(x, y, ...)`, through `validate_data` where scikit-learn has
// moved the joint validation there.
py::tuple validate_data(const py::object& self, const py::object& x, const py::object& y,
                        bool y_numeric) {
    py::object validated;
    if (has_validate_data_function()) {
        py::object function = py::module_::import("sklearn.utils.validation").attr("validate_data");
        validated =
            y_numeric ? function(self, x, y, py::arg("y_numeric") = true) : function(self, x, y);
    } else {
        validated = y_numeric ? self.attr("_validate_data")(x, y, py::arg("y_numeric") = true)
                              : self.attr("_validate_data")(x, y);
    }
    py::tuple pair(validated);
    if (py::len(pair) != 2) {
        throw py::value_error("expected the validated pair (X, y)");
    }
    return pair;
}

bool is_column_vector(const py::object& y) {
    py::tuple shape(y.attr("shape"));
    return py::len(shape) == 2 && py::cast<py::ssize_t>(shape[1]) == 1;
}

struct Validated {
    py::object x;
    py::object y;
    py::object weights;
};

// The weight steps shared by both faces: ones when absent; otherwise a length check, rows with
// a weight above 0 kept, weights rescaled to sum to the kept count; a single kept row fails.
Validated apply_weights(const py::object& x, const py::object& y, const py::object& sample_weight) {
    py::object np = module_name("np");
    const py::ssize_t n_rows = py::cast<py::ssize_t>(py::tuple(x.attr("shape"))[0]);
    if (sample_weight.is_none()) {
        if (n_rows == 1) {
            throw py::value_error("n_samples=1");
        }
        return {x, y, np.attr("ones")(n_rows)};
    }

    py::array given = np.attr("asarray")(sample_weight);
    // One weight per row: a vector, or a matrix with a single column.
    if (given.ndim() == 0 || given.shape(0) != n_rows || given.size() != n_rows) {
        throw py::value_error("sample_weight shape mismatches the input");
    }
    const char kind = given.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'O') {
        throw py::type_error("sample_weight must hold real numbers, got dtype " +
                             py::cast<std::string>(py::str(given.dtype())));
    }
    const py::array_t<double, py::array::c_style> weights =
        orrin_py::contiguous_float64(given.attr("ravel")());

    std::vector<std::int64_t> kept;
    std::vector<double> normalized;
    orrin::WeightStatus status;
    {
        py::gil_scoped_release release;
        status = orrin::keep_positive_weights(weights.data(), static_cast<std::size_t>(n_rows),
                                              kept, normalized);
    }
    if (status == orrin::WeightStatus::invalid) {
        throw py::value_error("Invalid sample_weight");
    }
    if (kept.size() == 1) {
        throw py::value_error("n_samples=1");
    }
    py::array_t<double> rescaled(static_cast<py::ssize_t>(normalized.size()));
    std::copy(normalized.begin(), normalized.end(), rescaled.mutable_data());
    if (static_cast<py::ssize_t>(kept.size()) == n_rows) {
        return {x, y, rescaled};
    }
    py::array_t<std::int64_t> rows(static_cast<py::ssize_t>(kept.size()));
    std::copy(kept.begin(), kept.end(), rows.mutable_data());
    return {x[rows], y[rows], rescaled};
}

py::tuple regressor_validate_input(py::object self, py::object x, py::object y,
                                   py::object sample_weight) {
    py::tuple pair = validate_data(self, x, y, true);
    x = pair[0];
    y = pair[1];
    if (is_column_vector(y)) {
        y = module_name("column_or_1d")(y, py::arg("warn") = true);
    }
    Validated v = apply_weights(x, y, sample_weight);
    return py::make_tuple(v.x, v.y.attr("ravel")(), v.weights.attr("ravel")());
}

py::tuple classifier_validate_input(py::object self, py::object x, py::object y,
                                    py::object sample_weight) {
    py::tuple pair = validate_data(self, x, y, false);
    x = pair[0];
    y = pair[1];
    if (is_column_vector(y)) {
        y = module_name("column_or_1d")(y, py::arg("warn") = false);
    }
    Validated v = apply_weights(x, y, sample_weight);

    py::object binarizer = module_name("LabelBinarizer")();
    binarizer.attr("fit")(v.y);
    self.attr("label_binarizer_") = binarizer;
    self.attr("classes_") = binarizer.attr("classes_");
    const py::ssize_t n_classes = py::len(binarizer.attr("classes_"));
    if (n_classes > 2) {
        throw py::value_error("multi-classification not supported");
    }
    if (n_classes == 1) {
        throw py::value_error("Classifier can't train when only one class is present.");
    }
    // The binarizer's encoding of two classes is the indicator of the second one; comparing
    // directly gives the same values without a second pass over the labels' types.
    py::object np = module_name("np");
    py::object second_class = binarizer.attr("classes_")[py::int_(1)];
    py::object encoded =
        np.attr("asarray")(v.y.attr("__eq__")(second_class), py::arg("dtype") = np.attr("float64"));
    return py::make_tuple(v.x, encoded.attr("ravel")(), v.weights.attr("ravel")());
}

// The checks shared by `predict` and `predict_proba`; returns the validated matrix.
py::object checked_matrix(const py::object& self, const py::object& X) {
    py::object checked = module_name("check_array")(X);
    module_name("check_is_fitted")(self);
    py::tuple shape(checked.attr("shape"));
    if (py::len(shape) != 2) {
        throw py::value_error("Reshape your data.");
    }
    if (!py::object(shape[1]).equal(self.attr("n_features_in_"))) {
        throw py::value_error(kFeatureCountMessage);
    }
    return checked;
}

py::object regressor_predict(py::object self, py::object X) {
    if (orrin_py::is_dask_collection(X)) {
        return orrin_py::dask_shell("xgb2", "predict")(self, "predict", X);
    }
    py::object checked = checked_matrix(self, X);
    return self.attr("estimator_").attr("predict")(checked);
}

py::object classifier_predict_proba(py::object self, py::object X) {
    if (orrin_py::is_dask_collection(X)) {
        return orrin_py::dask_shell("xgb2", "predict")(self, "predict_proba", X);
    }
    py::object checked = checked_matrix(self, X);
    return self.attr("estimator_").attr("predict_proba")(checked);
}

py::object second_class_probability(const py::object& self, const py::object& X) {
    py::object proba = self.attr("predict_proba")(X);
    return proba[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 1)];
}

py::object classifier_decision_function(py::object self, py::object X) {
    py::object np = module_name("np");
    py::object p =
        np.attr("clip")(second_class_probability(self, X), kProbabilityFloor, kProbabilityCeiling);
    return np.attr("log")(p / (py::float_(1.0) - p));
}

py::object classifier_predict(py::object self, py::object X) {
    if (orrin_py::is_dask_collection(X)) {
        return orrin_py::dask_shell("xgb2", "predict")(self, "labels", X);
    }
    py::object np = module_name("np");
    py::object positive = second_class_probability(self, X).attr("__gt__")(0.5);
    py::object pred =
        np.attr("array")(positive, py::arg("dtype") = py::module_::import("builtins").attr("int"));
    return self.attr("label_binarizer_").attr("inverse_transform")(pred);
}

py::object make_face(py::module_& m, const char* name, const char* mixin, const char* doc,
                     bool classifier) {
    py::object cls =
        orrin_py::make_class(m, name, py::make_tuple(m.attr(mixin), m.attr("XGB2Base")), doc);
    py::object cls_ref = cls;
    orrin_py::def_init(
        cls,
        [cls_ref](py::object self, py::object n_estimators, py::object eta, py::object max_depth,
                  py::object tree_method, py::object max_bin, py::object reg_lambda,
                  py::object reg_alpha, py::object gamma, py::object feature_names,
                  py::object feature_types, py::object mono_increasing_list,
                  py::object mono_decreasing_list, py::object random_state) {
            orrin_py::super_of(cls_ref, self)
                .attr("__init__")(py::arg("n_estimators") = n_estimators, py::arg("eta") = eta,
                                  py::arg("max_depth") = max_depth,
                                  py::arg("tree_method") = tree_method,
                                  py::arg("max_bin") = max_bin, py::arg("reg_lambda") = reg_lambda,
                                  py::arg("reg_alpha") = reg_alpha, py::arg("gamma") = gamma,
                                  py::arg("feature_names") = feature_names,
                                  py::arg("feature_types") = feature_types,
                                  py::arg("mono_increasing_list") = mono_increasing_list,
                                  py::arg("mono_decreasing_list") = mono_decreasing_list,
                                  py::arg("random_state") = random_state);
        },
        kInitDoc, py::arg("n_estimators") = 100, py::arg("eta") = 0.3, py::arg("max_depth") = 2,
        py::arg("tree_method") = "auto", py::arg("max_bin") = 256, py::arg("reg_lambda") = 0,
        py::arg("reg_alpha") = 0, py::arg("gamma") = 0, py::arg("feature_names") = py::none(),
        py::arg("feature_types") = py::none(), py::arg("mono_increasing_list") = py::tuple(),
        py::arg("mono_decreasing_list") = py::tuple(), py::arg("random_state") = 0);

    orrin_py::def_method(
        cls, "_more_tags", [classifier](py::object) { return more_tags(classifier); },
        kMoreTagsDoc);
    // Releases that read tags from `__sklearn_tags__` ignore `_more_tags`; report the same
    // there: binary-only classification.
    if (py::hasattr(m.attr("BaseEstimator"), "__sklearn_tags__")) {
        orrin_py::def_method(
            cls, "__sklearn_tags__",
            [cls_ref, classifier](py::object self) {
                py::object tags = orrin_py::super_of(cls_ref, self).attr("__sklearn_tags__")();
                if (classifier) {
                    tags.attr("classifier_tags").attr("multi_class") = false;
                }
                return tags;
            },
            kSklearnTagsDoc);
    }
    return cls;
}

}  // namespace

void register_xgb2_faces(py::module_& m) {
    py::object regressor = make_face(m, "XGB2Regressor", "RegressorMixin", kRegressorDoc, false);
    orrin_py::def_method(regressor, "_validate_input", &regressor_validate_input,
                         kRegressorValidateDoc, py::arg("x"), py::arg("y"),
                         py::arg("sample_weight"));
    orrin_py::def_method(regressor, "predict", &regressor_predict, kRegressorPredictDoc,
                         py::arg("X"));

    py::object classifier = make_face(m, "XGB2Classifier", "ClassifierMixin", kClassifierDoc, true);
    orrin_py::def_method(classifier, "_validate_input", &classifier_validate_input,
                         kClassifierValidateDoc, py::arg("x"), py::arg("y"),
                         py::arg("sample_weight"));
    orrin_py::def_method(classifier, "predict_proba", &classifier_predict_proba, kPredictProbaDoc,
                         py::arg("X"));
    orrin_py::def_method(classifier, "decision_function", &classifier_decision_function,
                         kDecisionFunctionDoc, py::arg("X"));
    orrin_py::def_method(classifier, "predict", &classifier_predict, kClassifierPredictDoc,
                         py::arg("X"));
}

}  // namespace xgb2
