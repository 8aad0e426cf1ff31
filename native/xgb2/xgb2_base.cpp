// XGB2Base: parameters, training, rule extraction, effect parsing and partial dependence.
#include <pybind11/numpy.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "dask_input.hpp"
#include "module_names.hpp"
#include "orrin/xgb2_prep.hpp"
#include "pyclass.hpp"
#include "registry.hpp"

namespace xgb2 {

namespace {

constexpr const char* kInitDoc =
    "init(self, n_estimators=100, eta=0.3, max_depth=2, tree_method='auto', max_bin=20, "
    "reg_lambda=1, reg_alpha=0, gamma=0, feature_names=None, feature_types=None, "
    "mono_increasing_list=(), mono_decreasing_list=(), random_state=0)\n--\n\n";

constexpr const char* kFitDoc =
    "fit(self, X, y, sample_weight=None)\n--\n\n"
    "Fit the model.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "X : array-like of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "y : array-like of shape (n_samples,)\n"
    "    Target response.\n"
    "sample_weight : array-like of shape (n_samples,), default=None\n"
    "    Sample weight; None gives every sample the weight 1.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "self : object\n"
    "    Fitted estimator.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "Dask arrays or DataFrames train through xgboost.dask on the current distributed\n"
    "client, after one validation pass over the partitions that raises the in-memory\n"
    "errors; zero-weight rows are dropped and the weights normalised partition by\n"
    "partition (their sum differs from numpy's pairwise sum by a few units in the last\n"
    "place). `estimator_` is then the in-memory xgboost estimator of the trained booster and\n"
    "`X_` the dask collection; the distributed histogram may build other trees than a\n"
    "single process would.\n";

constexpr const char* kFitRawDoc =
    "_fit_xgb_raw(self, X, y, sample_weight=None)\n--\n\n"
    "Internal function for fitting the raw xgboost model.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "X : np.ndarray of shape (n_samples, n_features)\n"
    "    Validated data features.\n"
    "y : np.ndarray of shape (n_samples,)\n"
    "    Validated target response.\n"
    "sample_weight : np.ndarray of shape (n_samples,), default=None\n"
    "    Normalised sample weight.\n";

constexpr const char* kExtractRulesDoc =
    "_base_extract_rules(self)\n--\n\n"
    "Internal function that extracts the split points of the raw model.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "split_table : dict\n"
    "    Feature name -> ascending array of the distinct thresholds the trees use on it.\n";

constexpr const char* kParseModelDoc =
    "parse_model(self)\n--\n\n"
    "Interpret the model with functional ANOVA.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "An instance of FANOVAInterpreter holding the interpretation results; the text\n"
    "\"Cannot interpret XGB with depth more than 2.\" for a deeper model.\n";

constexpr const char* kPartialDependenceDoc =
    "partial_dependence(self, fidx, X)\n--\n\n"
    "Partial dependence of one main effect or one pairwise interaction.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "fidx : tuple of int\n"
    "    The column index of a main effect, or the two of an interaction (in any order).\n"
    "X : np.ndarray of shape (n_samples, n_features)\n"
    "    Data features.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "np.ndarray of shape (n_samples,)\n"
    "    The effect's contribution for every row.\n";

constexpr const char* kSetParamsDoc =
    "set_params(self, **params)\n--\n\n"
    "Set the parameters of this estimator; every name is checked before any is set.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "self : object\n"
    "    The estimator.\n";

constexpr const char* kDepthRefusal = "Cannot interpret XGB with depth more than 2.";

bool contains(const py::object& container, const py::object& item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 1;
}

// `a op b` with the host's rich comparison.
bool compare(const py::handle& a, const py::handle& b, int op) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

// The text form of a tuple of small integers: "(1, 0, -1)", "(0,)", "()".
std::string tuple_text(const std::vector<int>& values) {
    std::string text = "(";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(values[i]);
    }
    if (values.size() == 1) {
        text += ",";
    }
    return text + ")";
}

// Unit weights go to the booster as None: the trees are the same and xgboost skips the
// weighted passes.
py::object weights_for_booster(const py::object& sample_weight) {
    if (!py::isinstance<py::array_t<double>>(sample_weight)) {
        return sample_weight;
    }
    py::array weights = py::reinterpret_borrow<py::array>(sample_weight);
    if (weights.ndim() != 1 || !(weights.flags() & py::array::c_style)) {
        return sample_weight;
    }
    const double* data = static_cast<const double*>(weights.data());
    const auto n = static_cast<std::size_t>(weights.shape(0));
    bool unit = false;
    {
        py::gil_scoped_release release;
        unit = orrin::all_unit_weights(data, n);
    }
    return unit ? py::object(py::none()) : sample_weight;
}

void base_init(py::object self, py::object n_estimators, py::object eta, py::object max_depth,
               py::object tree_method, py::object max_bin, py::object reg_lambda,
               py::object reg_alpha, py::object gamma, py::object feature_names,
               py::object feature_types, py::object mono_increasing_list,
               py::object mono_decreasing_list, py::object random_state) {
    self.attr("n_estimators") = n_estimators;
    self.attr("eta") = eta;
    self.attr("max_depth") = max_depth;
    self.attr("tree_method") = tree_method;
    self.attr("max_bin") = max_bin;
    self.attr("reg_lambda") = reg_lambda;
    self.attr("reg_alpha") = reg_alpha;
    self.attr("gamma") = gamma;
    self.attr("feature_names") = feature_names;
    self.attr("feature_types") = feature_types;
    self.attr("mono_increasing_list") = mono_increasing_list;
    self.attr("mono_decreasing_list") = mono_decreasing_list;
    self.attr("random_state") = random_state;
}

// The refusal of an unfitted model: scikit-learn's NotFittedError (an AttributeError and a
// ValueError), saying which call comes first.
[[noreturn]] void refuse_unfitted(const py::object& self, const std::string& what) {
    const std::string name = py::cast<std::string>(py::type::of(self).attr("__name__"));
    py::object error = py::module_::import("sklearn.exceptions").attr("NotFittedError");
    PyErr_SetString(error.ptr(), ("This " + name + " " + what).c_str());
    throw py::error_already_set();
}

bool has_attribute(const py::object& self, const char* name) {
    return py::isinstance<py::dict>(self.attr("__dict__")) &&
           py::dict(self.attr("__dict__")).contains(name);
}

// `feature_names` and `feature_types`, when given, are collections of text (one entry per
// column); anything else is refused before fit changes the estimator.
void check_name_list(const py::object& names, const char* what, bool entries_are_text) {
    if (names.is_none()) {
        return;
    }
    if (py::isinstance<py::str>(names) || py::isinstance<py::bytes>(names) ||
        !py::hasattr(names, "__len__") || !py::hasattr(names, "__iter__")) {
        throw py::type_error(std::string(what) + " must be a list of str, got " +
                             py::cast<std::string>(py::repr(py::type::of(names))));
    }
    if (!entries_are_text) {
        return;
    }
    std::size_t position = 0;
    for (py::handle entry : names) {
        if (!py::isinstance<py::str>(entry)) {
            throw py::type_error(std::string(what) + " must hold str; entry " +
                                 std::to_string(position) + " is " +
                                 py::cast<std::string>(py::repr(entry)) + " of type " +
                                 py::cast<std::string>(py::type::of(entry).attr("__name__")));
        }
        ++position;
    }
}

// The lengths of the given lists are not compared with the columns for training; a
// difference shifts the monotone constraints (they follow the names by position) and fails
// only at parse_model, so fit warns.
void warn_on_length(const py::object& names, const char* what, py::ssize_t n_features) {
    if (names.is_none()) {
        return;
    }
    const py::ssize_t length = py::len(names);
    if (length == n_features) {
        return;
    }
    const std::string message = std::string(what) + " has " + std::to_string(length) +
                                " entries but X has " + std::to_string(n_features) +
                                " columns; the monotone constraints follow the names by "
                                "position, and parse_model refuses names that do not match "
                                "the columns";
    py::object category = py::module_::import("orrin.exceptions").attr("OrrinWarning");
    if (PyErr_WarnEx(category.ptr(), message.c_str(), 1) < 0) {
        throw py::error_already_set();
    }
}

py::object fit_steps(py::object self, py::object X, py::object y, py::object sample_weight) {
    py::list validated(
        orrin_py::is_dask_collection(X)
            ? orrin_py::dask_shell("xgb2", "validate_input")(self, X, y, sample_weight)
            : self.attr("_validate_input")(X, y, sample_weight));
    if (py::len(validated) != 3) {
        throw py::value_error(py::len(validated) > 3 ? "too many values to unpack (expected 3)"
                                                     : "not enough values to unpack (expected 3)");
    }
    X = validated[0];
    y = validated[1];
    sample_weight = validated[2];

    const py::ssize_t n_features = count_attribute(self, "n_features_in_");
    warn_on_length(self.attr("feature_names"), "feature_names", n_features);
    warn_on_length(self.attr("feature_types"), "feature_types", n_features);
    py::object deepcopy = module_name("deepcopy");
    if (self.attr("feature_names").is_none()) {
        py::list names;
        for (py::ssize_t i = 0; i < n_features; ++i) {
            names.append(py::str("X" + std::to_string(i)));
        }
        self.attr("feature_names_") = names;
    } else {
        self.attr("feature_names_") = deepcopy(self.attr("feature_names"));
    }
    if (self.attr("feature_types").is_none()) {
        py::list types;
        for (py::ssize_t i = 0; i < n_features; ++i) {
            types.append(py::str("numerical"));
        }
        self.attr("feature_types_") = types;
    } else {
        self.attr("feature_types_") = deepcopy(self.attr("feature_types"));
    }

    self.attr("_fit_xgb_raw")(X, y, sample_weight);
    self.attr("is_fitted_") = true;
    self.attr("X_") = module_name("copy")(X);
    return self;
}

// Runs `steps`, which write attributes of `self` as they go; when they fail, the instance's
// attributes are put back to those it had before, so that a refused call changes nothing.
template <class Steps>
py::object all_or_nothing(const py::object& self, Steps&& steps) {
    py::dict attributes = self.attr("__dict__");
    py::dict before = attributes.attr("copy")();
    try {
        return steps();
    } catch (...) {
        attributes.clear();
        attributes.attr("update")(before);
        throw;
    }
}

// The input validation sets n_features_in_ and the classes before the booster is trained, so
// fit runs all or nothing.
py::object fit(py::object self, py::object X, py::object y, py::object sample_weight) {
    check_name_list(self.attr("feature_names"), "feature_names", true);
    check_name_list(self.attr("feature_types"), "feature_types", false);
    return all_or_nothing(self, [&] { return fit_steps(self, X, y, sample_weight); });
}

void fit_xgb_raw(py::object self, py::object X, py::object y, py::object sample_weight) {
    py::object increasing = self.attr("mono_increasing_list");
    py::object decreasing = self.attr("mono_decreasing_list");
    std::vector<int> monotone;
    for (py::handle name : self.attr("feature_names_")) {
        py::object feature = py::reinterpret_borrow<py::object>(name);
        if (contains(increasing, feature)) {
            monotone.push_back(1);
        } else if (contains(decreasing, feature)) {
            monotone.push_back(-1);
        } else {
            monotone.push_back(0);
        }
    }

    py::dict params;
    params["max_depth"] = self.attr("max_depth");
    params["n_estimators"] = self.attr("n_estimators");
    params["eta"] = self.attr("eta");
    params["gamma"] = self.attr("gamma");
    params["tree_method"] = self.attr("tree_method");
    params["max_bin"] = self.attr("max_bin");
    params["reg_lambda"] = self.attr("reg_lambda");
    params["reg_alpha"] = self.attr("reg_alpha");
    params["monotone_constraints"] = py::str(tuple_text(monotone));
    params["random_state"] = self.attr("random_state");
    self.attr("xgb_params_") = params;

    const bool classifier = py::cast<bool>(module_name("is_classifier")(self));
    py::object estimator_type = module_name(classifier ? "XGBClassifier" : "XGBRegressor");
    py::dict kwargs = module_name("copy")(params);
    if (orrin_py::is_dask_collection(X)) {
        self.attr("estimator_") =
            orrin_py::dask_shell("xgb2", "train")(classifier, kwargs, X, y, sample_weight);
        return;
    }
    self.attr("estimator_") = estimator_type(**kwargs);
    self.attr("estimator_")
        .attr("fit")(X, y.attr("ravel")(),
                     py::arg("sample_weight") = weights_for_booster(sample_weight));
}

py::dict base_extract_rules(py::object self) {
    py::dict split_table;
    py::object booster = self.attr("estimator_").attr("get_booster")();
    py::object trees = booster.attr("trees_to_dataframe")();

    const py::ssize_t n_features = count_attribute(self, "n_features_in_");
    py::object booster_names = booster.attr("feature_names");
    // Each distinct booster identifier is one slot; columns sharing an identifier share it.
    std::unordered_map<std::string, std::int32_t> slot_of_id;
    std::vector<std::int32_t> slot_of_column;
    for (py::ssize_t i = 0; i < n_features; ++i) {
        const std::string id = booster_names.is_none()
                                   ? "f" + std::to_string(i)
                                   : py::cast<std::string>(py::str(booster_names[py::int_(i)]));
        auto inserted = slot_of_id.emplace(id, static_cast<std::int32_t>(slot_of_id.size()));
        slot_of_column.push_back(inserted.first->second);
    }

    py::object np = module_name("np");
    py::array_t<double, py::array::c_style | py::array::forcecast> thresholds =
        np.attr("asarray")(trees["Split"], py::arg("dtype") = np.attr("float64"));
    py::list node_features = trees["Feature"].attr("tolist")();
    const std::size_t n_nodes = static_cast<std::size_t>(thresholds.size());
    if (static_cast<std::size_t>(py::len(node_features)) != n_nodes) {
        throw py::value_error("the tree table's Feature and Split columns differ in length");
    }
    std::vector<std::int32_t> slot_of_node(n_nodes, -1);
    for (std::size_t i = 0; i < n_nodes; ++i) {
        py::handle feature = node_features[i];
        if (!py::isinstance<py::str>(feature)) {
            continue;
        }
        auto found = slot_of_id.find(py::cast<std::string>(feature));
        if (found != slot_of_id.end()) {
            slot_of_node[i] = found->second;
        }
    }

    std::vector<std::vector<double>> splits;
    {
        py::gil_scoped_release release;
        splits = orrin::distinct_sorted_splits(slot_of_node.data(), thresholds.data(), n_nodes,
                                               slot_of_id.size());
    }

    py::list names = self.attr("feature_names_");
    for (py::ssize_t i = 0; i < n_features; ++i) {
        const auto& column_splits = splits[static_cast<std::size_t>(slot_of_column[i])];
        py::array_t<double> values(static_cast<py::ssize_t>(column_splits.size()));
        std::copy(column_splits.begin(), column_splits.end(), values.mutable_data());
        split_table[names[static_cast<std::size_t>(i)]] = values;
    }
    py::ssize_t n_splits = 0;
    for (auto item : split_table) {
        n_splits += py::len(item.second);
    }
    self.attr("n_splits_raw_") = n_splits;
    return split_table;
}

py::object parse_model(py::object self) {
    if (compare(self.attr("max_depth"), py::int_(2), Py_GT)) {
        return py::str(kDepthRefusal);
    }
    for (const char* name : {"estimator_", "X_", "feature_names_", "feature_types_"}) {
        if (!has_attribute(self, name)) {
            refuse_unfitted(self, "is not fitted yet: call fit before parse_model.");
        }
    }
    // A refused model (a malformed tree, names that do not match the columns) leaves the
    // estimator unchanged.
    return all_or_nothing(self, [&] {
        py::object interpreter = module_name("XGBInterpreter")(
            self.attr("estimator_"), py::arg("purification") = true,
            py::arg("true_to_data") = false, py::arg("feature_names") = self.attr("feature_names_"),
            py::arg("feature_types") = self.attr("feature_types_"));
        self.attr("unp_") = interpreter;
        interpreter.attr("fit")(self.attr("X_"));
        self.attr("effects_") = interpreter.attr("effects_");
        self.attr("intercept_") = interpreter.attr("intercept_");
        return module_name("FANOVAInterpreter")(self);
    });
}

// Rejects a matrix too narrow for the effect's columns, which the evaluation would otherwise
// read out of range. Objects without a two-dimensional shape are passed on unchecked.
void require_columns(const py::object& fidx, const py::object& X) {
    if (!py::hasattr(X, "shape")) {
        return;
    }
    py::object shape = X.attr("shape");
    if (!py::isinstance<py::tuple>(shape) || py::len(shape) != 2) {
        return;
    }
    const py::object n_columns = shape[py::int_(1)];
    for (py::handle index : fidx) {
        py::object column = py::reinterpret_borrow<py::object>(index);
        if (compare(column, n_columns, Py_GE) || compare(column, py::int_(0), Py_LT)) {
            throw py::value_error(
                "partial_dependence: X has " + py::cast<std::string>(py::str(n_columns)) +
                " columns, too few for the effect " + py::cast<std::string>(py::repr(fidx)));
        }
    }
}

py::object partial_dependence(py::object self, py::object fidx, py::object X) {
    if (!PySequence_Check(fidx.ptr()) && !py::hasattr(fidx, "__len__")) {
        throw py::type_error("partial_dependence: fidx must be a tuple of int, got " +
                             py::cast<std::string>(py::repr(fidx)));
    }
    const py::ssize_t ndim = py::len(fidx);
    py::object wanted = py::reinterpret_steal<py::object>(PySet_New(fidx.ptr()));
    if (!wanted) {
        throw py::error_already_set();
    }
    if (!has_attribute(self, "effects_")) {
        refuse_unfitted(self,
                        "has no effects_ yet: call fit and then parse_model before "
                        "partial_dependence.");
    }
    py::object effects = self.attr("effects_");
    py::object function = py::none();
    py::object used_fidx = fidx;
    if (ndim == 1 || ndim == 2) {
        const char* key = ndim == 1 ? "1D" : "2D";
        for (py::handle record : effects[key].attr("values")()) {
            py::object item = py::reinterpret_borrow<py::object>(record);
            py::object stored = py::reinterpret_steal<py::object>(PySet_New(item["fidx"].ptr()));
            if (!stored) {
                throw py::error_already_set();
            }
            if (!stored.equal(wanted)) {
                continue;
            }
            py::object split_lists = item["split_unique_list"];
            if (ndim == 1) {
                function = module_name("predict_1D_func_tree")(fidx, split_lists[py::int_(0)],
                                                               item["values"], true);
            } else {
                // The split arrays are in the record's feature order, so the record's own
                // indices go with them, whatever order the caller named the pair in.
                used_fidx = item["fidx"];
                function = module_name("predict_2D_func_tree")(used_fidx, split_lists[py::int_(0)],
                                                               split_lists[py::int_(1)],
                                                               item["values"], true);
            }
            break;
        }
    }
    if (function.is_none()) {
        throw py::value_error("Effect not found.");
    }
    require_columns(used_fidx, X);
    return function(X);
}

// scikit-learn's set_params sets the valid keys it meets before it reaches an invalid one;
// here every key is checked first, so that a refused call sets nothing.
py::object set_params(py::object self, py::kwargs params) {
    py::dict valid = self.attr("get_params")(py::arg("deep") = true);
    for (auto item : params) {
        if (!valid.contains(item.first)) {
            py::list names = py::module_::import("builtins").attr("sorted")(valid);
            throw py::value_error(
                "Invalid parameter " + py::cast<std::string>(py::repr(item.first)) +
                " for estimator " + py::cast<std::string>(py::type::of(self).attr("__name__")) +
                ". Valid parameters are: " + py::cast<std::string>(py::repr(names)) + ".");
        }
    }
    py::object base = module_name("BaseEstimator");
    return base.attr("set_params")(self, **params);
}

}  // namespace

void register_xgb2_base(py::module_& m) {
    py::object cls =
        orrin_py::make_class(m, "XGB2Base", py::make_tuple(m.attr("BaseEstimator")), nullptr);
    orrin_py::def_init(cls, &base_init, kInitDoc, py::arg("n_estimators") = 100,
                       py::arg("eta") = 0.3, py::arg("max_depth") = 2,
                       py::arg("tree_method") = "auto", py::arg("max_bin") = 20,
                       py::arg("reg_lambda") = 1, py::arg("reg_alpha") = 0, py::arg("gamma") = 0,
                       py::arg("feature_names") = py::none(), py::arg("feature_types") = py::none(),
                       py::arg("mono_increasing_list") = py::tuple(),
                       py::arg("mono_decreasing_list") = py::tuple(), py::arg("random_state") = 0);
    orrin_py::def_method(cls, "fit", &fit, kFitDoc, py::arg("X"), py::arg("y"),
                         py::arg("sample_weight") = py::none());
    orrin_py::def_method(cls, "_fit_xgb_raw", &fit_xgb_raw, kFitRawDoc, py::arg("X"), py::arg("y"),
                         py::arg("sample_weight") = py::none());
    orrin_py::def_method(cls, "_base_extract_rules", &base_extract_rules, kExtractRulesDoc);
    orrin_py::def_method(cls, "parse_model", &parse_model, kParseModelDoc);
    orrin_py::def_method(cls, "partial_dependence", &partial_dependence, kPartialDependenceDoc,
                         py::arg("fidx"), py::arg("X"));
    orrin_py::def_method(cls, "set_params", &set_params, kSetParamsDoc);
}

}  // namespace xgb2
