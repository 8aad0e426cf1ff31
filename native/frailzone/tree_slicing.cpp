// TreeSlicing: weak regions from the leaves of a shallow regression tree fitted to the
// per-sample scores over one or two slicing features.
#include <pybind11/numpy.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "array_args.hpp"
#include "input_checks.hpp"
#include "orrin/columns.hpp"
#include "pyclass.hpp"
#include "region_support.hpp"
#include "registry.hpp"
#include "slicing_docs.hpp"

namespace frailzone {

namespace {

constexpr const char* kTreeSlicingDoc =
    "Tree based slicing for analyzing 1D or 2D features.\n"
    "\n"
    "A regression tree is fitted to the per-sample scores over the slicing features; each\n"
    "leaf is a candidate region and the leaves whose mean score crosses the weak-region\n"
    "limit are the weak regions. Only additive metrics are supported.\n"
    "\n" FRAILZONE_SLICING_COMMON_PARAMS
    "max_depth : int, default=2\n"
    "    Depth limit of the tree.\n"
    "min_samples : int, default=30\n"
    "    Smallest number of training samples of a leaf.\n" FRAILZONE_SLICING_METRIC_PARAM;

constexpr const char* kInitDoc =
    "init(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, "
    "max_depth=2, min_samples=30, metric=None)\n--\n\n"
    "Store the configuration, refuse metrics that are not additive and create the tree.";

constexpr const char* kDfsDoc =
    "_dfs(self, tree, curr_node_idx, rule)\n--\n\n"
    "Leaf records of the subtree at `curr_node_idx`, depth first, left before right.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "tree : sklearn.tree._tree.Tree\n"
    "    The fitted tree structure (`tree_`).\n"
    "curr_node_idx : int\n"
    "    The node to start from.\n"
    "rule : dict\n"
    "    The bounds collected on the path to that node, {\"f0\": {\"lb\": ..., \"ub\": ...}}.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "iterator of dict\n"
    "    {\"splits\": bounds, \"values\": leaf value, \"counts\": training samples}.\n";

constexpr const char* kFitDoc =
    "_fit(self, x, y, preds, scores, sample_weight=None)\n--\n\n"
    "Fit the tree to the scores over the slicing features and keep the weak leaves.\n"
    "\n"
    "The settings, the slicing columns (finite), the scores (finite, one per row) and the\n"
    "weights are checked before anything is stored; a refusal, here or by the tree, leaves\n"
    "the object as it was. Each fit stores a freshly fitted clone as `tree_estimator`.";

constexpr std::int64_t kLeaf = -2;

// A tree structure's arrays, read once.
struct TreeArrays {
    std::vector<std::int64_t> feature, left, right, samples;
    std::vector<double> threshold, value;
    std::size_t value_stride = 1;

    std::size_t nodes() const { return feature.size(); }
};

template <typename T>
std::vector<T> read_array(const py::object& tree, const char* name, const py::object& dtype) {
    py::object np = py::module_::import("numpy");
    py::array arr = np.attr("ascontiguousarray")(tree.attr(name), py::arg("dtype") = dtype);
    const T* data = static_cast<const T*>(arr.data());
    return std::vector<T>(data, data + arr.size());
}

TreeArrays read_tree(const py::object& tree) {
    py::object np = py::module_::import("numpy");
    TreeArrays t;
    t.feature = read_array<std::int64_t>(tree, "feature", np.attr("int64"));
    t.left = read_array<std::int64_t>(tree, "children_left", np.attr("int64"));
    t.right = read_array<std::int64_t>(tree, "children_right", np.attr("int64"));
    t.samples = read_array<std::int64_t>(tree, "n_node_samples", np.attr("int64"));
    t.threshold = read_array<double>(tree, "threshold", np.attr("float64"));
    t.value = read_array<double>(tree, "value", np.attr("float64"));
    const std::size_t n = t.nodes();
    if (n == 0 || t.left.size() != n || t.right.size() != n || t.samples.size() != n ||
        t.threshold.size() != n || t.value.size() % n != 0 || t.value.size() < n) {
        throw py::value_error("tree must hold arrays of one entry per node.");
    }
    t.value_stride = t.value.size() / n;
    return t;
}

py::dict copy_rule(const py::dict& rule) {
    py::object dict = py::module_::import("builtins").attr("dict");
    py::dict out;
    for (auto item : rule) out[item.first] = dict(item.second);
    return out;
}

py::object tree_dfs(py::object /*self*/, py::object tree, py::object curr_node_idx, py::dict rule) {
    const TreeArrays t = read_tree(tree);
    const py::ssize_t start = index_value(curr_node_idx, "curr_node_idx");
    if (start < 0 || static_cast<std::size_t>(start) >= t.nodes()) {
        throw py::index_error("curr_node_idx " + std::to_string(start) + " is not a node of the " +
                              std::to_string(t.nodes()) + "-node tree.");
    }
    const double inf = std::numeric_limits<double>::infinity();
    py::list leaves;
    std::vector<std::pair<std::size_t, py::dict>> stack{{static_cast<std::size_t>(start), rule}};
    std::size_t visited = 0;
    while (!stack.empty()) {
        const std::size_t node = stack.back().first;
        py::dict path = std::move(stack.back().second);
        stack.pop_back();
        if (++visited > t.nodes()) throw py::value_error("tree has a cycle among its children.");
        if (t.feature[node] == kLeaf) {
            py::dict leaf;
            leaf["splits"] = path;
            leaf["values"] = py::float_(t.value[node * t.value_stride]);
            leaf["counts"] = py::int_(t.samples[node]);
            leaves.append(leaf);
            continue;
        }
        const std::int64_t l = t.left[node], r = t.right[node];
        if (l < 0 || r < 0 || static_cast<std::size_t>(l) >= t.nodes() ||
            static_cast<std::size_t>(r) >= t.nodes()) {
            throw py::value_error("tree node " + std::to_string(node) +
                                  " has a child outside the tree.");
        }
        const py::str key("f" + std::to_string(t.feature[node]));
        const py::float_ threshold(t.threshold[node]);

        py::dict rule_left = copy_rule(path);
        if (rule_left.contains(key)) {
            py::object bounds = rule_left[key];
            py::object ub = bounds[py::str("ub")];
            bounds[py::str("ub")] = ub < threshold ? ub : py::object(threshold);
        } else {
            py::dict bounds;
            bounds["ub"] = threshold;
            bounds["lb"] = py::float_(-inf);
            rule_left[key] = bounds;
        }
        py::dict rule_right = copy_rule(path);
        if (rule_right.contains(key)) {
            py::object bounds = rule_right[key];
            py::object lb = bounds[py::str("lb")];
            bounds[py::str("lb")] = lb > threshold ? lb : py::object(threshold);
        } else {
            py::dict bounds;
            bounds["lb"] = threshold;
            bounds["ub"] = py::float_(inf);
            rule_right[key] = bounds;
        }
        stack.emplace_back(static_cast<std::size_t>(r), std::move(rule_right));
        stack.emplace_back(static_cast<std::size_t>(l), std::move(rule_left));
    }
    return leaves.attr("__iter__")();
}

void tree_slicing_init(py::object self, py::object estimator, py::object slice_features,
                       py::object task_type, py::object threshold, py::object max_depth,
                       py::object min_samples, py::object metric) {
    orrin_py::super_of(module_attr("TreeSlicing"), self)
        .attr("__init__")(py::arg("estimator") = estimator, py::arg("task_type") = task_type,
                          py::arg("slice_features") = slice_features,
                          py::arg("threshold") = threshold, py::arg("min_samples") = min_samples,
                          py::arg("metric") = metric);
    if (!py::bool_(self.attr("is_metric_additive"))) {
        raise_orrin_error("tree slicing is incompatible with this metric.");
    }
    self.attr("max_depth") = max_depth;
    self.attr("tree_estimator") = module_attr("DecisionTreeRegressor")(
        py::arg("max_depth") = max_depth, py::arg("min_samples_leaf") = min_samples);
}

// A one-dimensional argument of _fit with one entry per row of x.
py::array row_vector(const py::object& values, py::ssize_t rows, const std::string& name) {
    py::array a = as_ndarray(values, name.c_str());
    if (a.ndim() != 1) {
        throw py::value_error(name + " must be one-dimensional, got " + std::to_string(a.ndim()) +
                              " dimensions.");
    }
    if (a.shape(0) != rows) {
        throw py::value_error(name + " has " + std::to_string(a.shape(0)) + " entries but x has " +
                              std::to_string(rows) + " rows.");
    }
    return a;
}

// Every check comes first and the tree is fitted as a clone of `tree_estimator`, so a refusal
// (here or by the tree) leaves the object as it was; the fields are written last.
void tree_slicing_fit(py::object self, py::object x, py::object y, py::object preds,
                      py::object scores, py::object sample_weight) {
    (void)preds;
    py::object np = module_attr("np");
    check_slicing_settings(self, false);
    const std::vector<py::ssize_t> positions =
        slice_columns(self.attr("slice_features"), self.attr("feature_names"));
    if (positions.empty() || positions.size() > 2) {
        raise_orrin_error("Only Support at most two slicing features.");
    }
    py::array matrix = as_matrix(x, "x");
    const py::ssize_t rows = matrix.shape(0);
    for (py::ssize_t p : positions) {
        if (p >= matrix.shape(1)) throw py::value_error("x has fewer columns than feature_names.");
    }
    py::list names(self.attr("feature_names"));
    for (py::ssize_t p : positions) {
        const ColumnRef column = numeric_column(matrix, p, "x");
        bool finite = true;
        {
            py::gil_scoped_release release;
            finite = orrin::first_non_finite(column.view, column.size) == column.size;
        }
        if (!finite) raise_not_finite("x", names[p]);
    }
    row_vector(scores, rows, "scores");
    if (!sample_weight.is_none()) {
        as_float64(row_vector(sample_weight, rows, "sample_weight"), "sample_weight");
    }
    check_pass_inputs(self, scores, sample_weight, std::nullopt);

    py::object weights = py::none();
    if (!sample_weight.is_none() && py::bool_(np.attr("sum")(sample_weight) > py::int_(0))) {
        weights = sample_weight;
    }
    py::object avg_score = np.attr("average")(scores, py::arg("weights") = weights);
    const py::object threshold_value = py::object(self.attr("threshold")) * avg_score;
    py::list fidx;
    for (py::ssize_t p : positions) fidx.append(p);

    const py::object all_rows = py::slice(py::none(), py::none(), py::none());
    py::object tree_estimator =
        py::module_::import("sklearn.base").attr("clone")(self.attr("tree_estimator"));
    tree_estimator.attr("fit")(matrix[py::make_tuple(all_rows, fidx)], scores,
                               py::arg("sample_weight") = sample_weight);
    py::list rule_list(self.attr("_dfs")(tree_estimator.attr("tree_"), 0, py::dict()));

    // Observed ranges of the slicing columns, for clipping the leaf bounds.
    std::vector<std::pair<py::object, py::object>> ranges;
    for (py::ssize_t p : positions) {
        py::object column = matrix[py::make_tuple(all_rows, p)];
        ranges.emplace_back(column.attr("min")(), column.attr("max")());
    }
    auto clipped = [&](const py::dict& splits, const char* key, std::size_t f) {
        py::object lb = ranges[f].first;
        py::object ub = ranges[f].second;
        if (splits.contains(key)) {
            py::object bounds = splits[key];
            py::object rule_lb = bounds[py::str("lb")];
            py::object rule_ub = bounds[py::str("ub")];
            if (rule_lb > lb) lb = rule_lb;
            if (rule_ub < ub) ub = rule_ub;
        }
        return std::make_pair(lb, ub);
    };

    const py::object sign = self.attr("score_sign");
    const py::object limit = sign * threshold_value;
    py::list weak_region;
    for (py::handle rule : rule_list) {
        py::object splits_obj = rule[py::str("splits")];
        if (!py::bool_(splits_obj)) continue;
        if (!py::bool_(sign * py::object(rule[py::str("values")]) <= limit)) continue;
        py::dict splits(splits_obj);
        py::dict record;
        const auto f0 = clipped(splits, "f0", 0);
        if (positions.size() == 1) {
            record["lb1"] = f0.first;
            record["ub1"] = f0.second;
        } else {
            const auto f1 = clipped(splits, "f1", 1);
            record["lb1"] = f0.first;
            record["lb2"] = f1.first;
            record["ub1"] = f0.second;
            record["ub2"] = f1.second;
        }
        weak_region.append(record);
    }
    self.attr("x") = x;
    self.attr("y") = y;
    self.attr("scores") = scores;
    self.attr("threshold_value") = threshold_value;
    self.attr("fidx") = fidx;
    self.attr("tree_estimator") = tree_estimator;
    self.attr("rule_list") = rule_list;
    self.attr("weak_region") = weak_region;
}

}  // namespace

void register_tree_slicing(py::module_& m) {
    py::object cls = orrin_py::make_class(m, "TreeSlicing", py::make_tuple(m.attr("BaseSlicing")),
                                          kTreeSlicingDoc);
    orrin_py::def_init(cls, &tree_slicing_init, kInitDoc, py::arg("estimator") = py::none(),
                       py::arg("slice_features") = py::none(), py::arg("task_type") = py::none(),
                       py::arg("threshold") = 1.2, py::arg("max_depth") = 2,
                       py::arg("min_samples") = 30, py::arg("metric") = py::none());
    orrin_py::def_method(cls, "_dfs", &tree_dfs, kDfsDoc, py::arg("tree"), py::arg("curr_node_idx"),
                         py::arg("rule"));
    orrin_py::def_method(cls, "_fit", &tree_slicing_fit, kFitDoc, py::arg("x"), py::arg("y"),
                         py::arg("preds"), py::arg("scores"),
                         py::arg("sample_weight") = py::none());
}

}  // namespace frailzone
