// BaseSlicing.fit: scores the fitting set, runs the strategy's `_fit`, then re-scores every
// weak region on the training and the test set and returns the gap-sorted table.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <list>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "array_args.hpp"
#include "arrays.hpp"
#include "checked_columns.hpp"
#include "gc_pause.hpp"
#include "input_checks.hpp"
#include "orrin/numeric.hpp"
#include "orrin/regions.hpp"
#include "pass_members.hpp"
#include "pyclass.hpp"
#include "refusal_guard.hpp"
#include "region_support.hpp"
#include "registry.hpp"

namespace frailzone {

namespace {

constexpr const char* kFitDoc =
    "fit(self, train_x, train_y, test_x, test_y, train_pred=None, test_pred=None, "
    "feature_names=None, use_test=True, train_sample_weight=None, test_sample_weight=None)\n"
    "--\n\n"
    "Find the weak regions and re-score them on the training and the test set.\n"
    "\n"
    "The strategy is fitted on the test set when `use_test` is true, else on the training\n"
    "set. Every weak region is then counted and scored on both sets; a region's upper bound\n"
    "on the first slicing feature is closed when it equals the test set's maximum, and on\n"
    "the second feature when it equals the largest second value among that set's rows\n"
    "inside the region's first-feature bounds. A region whose weights sum to zero is scored\n"
    "NaN.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "train_x, test_x : array-like of shape (n_train, n_features), (n_test, n_features)\n"
    "    Feature matrices, columns in the order of `feature_names`.\n"
    "train_y, test_y : array-like of shape (n_train,), (n_test,)\n"
    "    Targets.\n"
    "train_pred, test_pred : array-like of shape (n_train,), (n_test,)\n"
    "    The predictions (or probabilities) that the metric needs.\n"
    "feature_names : list of str\n"
    "    One name per column.\n"
    "use_test : bool, default=True\n"
    "    Fit the strategy on the test set (true) or on the training set.\n"
    "train_sample_weight, test_sample_weight : array-like, default=None\n"
    "    Sample weights; None means all 1.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "pandas.DataFrame or None\n"
    "    One row per weak region, largest test-minus-train gap first (NaN gaps last), or\n"
    "    None when no weak region was found.\n";

// One data set as the driver reads it.
struct DataSet {
    std::string prefix;
    py::array x;
    py::array y;
    py::array pred;
    py::object weight;        // None or the caller's weights as an array
    py::array_t<double> w64;  // the weights as float64, for the zero-sum test
    py::ssize_t rows = 0;
    // Columns read as float64 so far, each once, with their ranges once checked finite.
    std::list<std::pair<py::ssize_t, ColumnRef>> columns;  // stable references
    std::vector<std::pair<py::ssize_t, orrin::Range>> ranges;

    const ColumnRef& column(py::ssize_t c) {
        for (const auto& entry : columns) {
            if (entry.first == c) return entry.second;
        }
        columns.emplace_back(c, numeric_column(x, c, prefix + "_x"));
        return columns.back().second;
    }
    // Whether each of the columns `cs` (one or two) is finite; records the ranges of those
    // that are. Two columns are read in one pass.
    std::vector<bool> scan_finite(const std::vector<py::ssize_t>& cs) {
        std::vector<const ColumnRef*> refs;
        for (py::ssize_t c : cs) refs.push_back(&column(c));
        orrin::Range found[2] = {};
        {
            py::gil_scoped_release release;
            if (refs.size() == 2) {
                orrin::value_ranges(refs[0]->view, refs[1]->view, refs[0]->size, found);
            } else {
                for (std::size_t k = 0; k < refs.size(); ++k) {
                    found[k] = orrin::value_range(refs[k]->view, refs[k]->size);
                }
            }
        }
        std::vector<bool> out;
        for (std::size_t k = 0; k < cs.size(); ++k) {
            if (found[k].finite) ranges.emplace_back(cs[k], found[k]);
            out.push_back(found[k].finite);
        }
        return out;
    }
    double max_of(py::ssize_t c) {
        for (const auto& entry : ranges) {
            if (entry.first == c) return entry.second.hi;
        }
        const ColumnRef& col = column(c);
        py::gil_scoped_release release;
        return orrin::column_max(col.view, col.size);
    }
    // The scanned columns read in place from the caller's matrix, for the pass to trust.
    std::vector<CheckedColumn> checked() const {
        std::vector<CheckedColumn> out;
        for (const auto& [c, range] : ranges) {
            for (const auto& [position, ref] : columns) {
                if (position != c || !ref.owner.is(x)) continue;
                out.push_back({ref.view.data, ref.view.stride, ref.size, range.lo, range.hi});
            }
        }
        return out;
    }
};

DataSet prepare_set(const std::string& prefix, const py::object& x, const py::object& y,
                    const py::object& pred, const py::object& weight) {
    DataSet set;
    set.prefix = prefix;
    const std::string xname = prefix + "_x";
    set.x = as_matrix(x, xname);
    set.rows = set.x.shape(0);
    set.y = as_aligned(y, set.rows, prefix + "_y", xname);
    set.pred = as_aligned(pred, set.rows, prefix + "_pred", xname);
    set.weight = py::none();
    if (!weight.is_none()) {
        const std::string wname = prefix + "_sample_weight";
        py::array w = as_aligned(weight, set.rows, wname, xname);
        if (w.ndim() != 1) throw py::value_error(wname + " must be one-dimensional.");
        set.w64 = as_float64(w, wname.c_str());
        set.weight = w;
    }
    return set;
}

// Scores of one region on one set: the "All" object and the region score.
struct RegionScore {
    py::object all;
    py::object score;
};

// The per-sample scores of the whole set, when the metric's scores of a region are those
// scores taken at the region's rows (an additive scorer that declares itself elementwise and
// gave one float64 score per row); None otherwise.
py::object reusable_scores(const py::object& scoring_func, const py::object& scores,
                           py::ssize_t rows) {
    const py::object flag = py::getattr(scoring_func, "elementwise", py::none());
    if (!flag.is(py::bool_(true)) || !py::isinstance<py::array_t<double>>(scores)) {
        return py::none();
    }
    const auto arr = py::reinterpret_borrow<py::array>(scores);
    if (arr.ndim() != 1 || arr.shape(0) != rows) return py::none();
    return scores;
}

// Whether `scoring_func` is the host's per-sample squared error, (y - pred) ** 2: the fit
// then computes those scores itself, with the same two operations per sample.
bool is_squared_error(const py::object& scoring_func) {
    static py::object* host = nullptr;  // lives as long as the process
    if (host == nullptr) {
        host = new py::object(py::module_::import("orrin.diagnoser.utils").attr("_squared_error"));
    }
    const py::object flag = py::getattr(scoring_func, "elementwise", py::none());
    return flag.is(py::bool_(true)) &&
           py::getattr(scoring_func, "per_sample", py::none()).is(*host);
}

// A one-dimensional, aligned float64 array in native byte order, read in place.
bool readable_in_place(const py::array& a) {
    return a.ndim() == 1 && a.dtype().is(py::dtype::of<double>()) &&
           (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
}

// (y - pred) ** 2 at rows idx[0 .. count), as a new array.
py::array_t<double> squared_errors(const py::array& y, const py::array& pred,
                                   const std::int64_t* idx, std::size_t count) {
    if (count > 0 &&
        (idx[0] < 0 || idx[count - 1] >= y.shape(0) || idx[count - 1] >= pred.shape(0))) {
        throw py::index_error("a region row lies outside the array");
    }
    py::array_t<double> out = orrin_py::block_array<double>(count);
    double* dst = out.mutable_data();
    const orrin::StridedColumn a{static_cast<const char*>(y.data()), y.strides(0)};
    const orrin::StridedColumn b{static_cast<const char*>(pred.data()), pred.strides(0)};
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < count; ++i) {
        const auto row = static_cast<std::size_t>(idx[i]);
        const double d = a[row] - b[row];
        dst[i] = d * d;
    }
    return out;
}

// (y - pred) ** 2 at every row, as a new array; `sum` gets np.sum of the array.
py::array_t<double> all_squared_errors(const py::array& y, const py::array& pred, std::size_t rows,
                                       double& sum) {
    py::array_t<double> out = orrin_py::block_array<double>(rows);
    double* dst = out.mutable_data();
    const orrin::StridedColumn a{static_cast<const char*>(y.data()), y.strides(0)};
    const orrin::StridedColumn b{static_cast<const char*>(pred.data()), pred.strides(0)};
    py::gil_scoped_release release;
    sum = orrin::squared_differences_sum(a, b, rows, dst);
    return out;
}

// `set_scores`: the set's reusable per-sample scores, or None; `known`, when not null,
// those scores at the region's rows, already gathered.
RegionScore score_region(const py::object& self, const DataSet& set, const RegionArrays& rows,
                         std::size_t r, std::vector<double>& scratch, const py::object& set_scores,
                         const double* known) {
    py::object np = module_attr("np");
    const std::size_t count = rows.count(r);
    if (count == 0) return {py::list(), np.attr("nan")};
    py::object scoring_func = self.attr("scoring_func");
    const bool additive = py::bool_(self.attr("is_metric_additive"));
    py::object ws = py::none();
    bool weightless = false;
    if (!set.weight.is_none()) {
        ws = take_region(py::reinterpret_borrow<py::array>(set.weight), rows, r);
        const double* w = set.w64.data();
        const std::int64_t* idx = rows.rows.data() + rows.offsets[r];
        scratch.resize(count);
        for (std::size_t i = 0; i < count; ++i) scratch[i] = w[idx[i]];
        weightless = orrin::numpy_sum(scratch.data(), count) == 0.0;
    }
    if (additive) {
        // An additive region score is the weighted mean of the region's per-sample scores.
        py::object all;
        if (!set_scores.is_none() && known != nullptr) {
            py::array_t<double> copy = orrin_py::block_array<double>(count);
            std::copy(known, known + count, copy.mutable_data());
            all = std::move(copy);
        } else if (!set_scores.is_none()) {
            all = take_region(py::reinterpret_borrow<py::array>(set_scores), rows, r);
        } else if (is_squared_error(scoring_func) && readable_in_place(set.y) &&
                   readable_in_place(set.pred)) {
            all = squared_errors(set.y, set.pred, rows.rows.data() + rows.offsets[r], count);
        } else {
            py::object y = take_region(set.y, rows, r);
            py::object pred = take_region(set.pred, rows, r);
            all = scoring_func(y, pred);
        }
        if (weightless) return {all, np.attr("nan")};
        return {all, np.attr("average")(all, py::arg("weights") = ws)};
    }
    py::object y = take_region(set.y, rows, r);
    py::object pred = take_region(set.pred, rows, r);
    if (weightless) return {np.attr("nan"), np.attr("nan")};
    py::object score = scoring_func(y, pred, py::arg("sample_weight") = ws);
    return {score, score};
}

void update(const py::object& row, const py::object& key, const py::object& value) {
    py::dict entry;
    entry[key] = value;
    row.attr("update")(entry);
}

// Positions of the rows sorted by gap, largest first; NaN gaps last; ties keep their order.
std::vector<std::size_t> gap_order(const py::list& rows) {
    std::vector<double> gaps;
    for (py::handle row : rows) {
        py::object gap = row[py::str("Gap")];
        const double g = PyFloat_AsDouble(gap.ptr());
        if (g == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::type_error("a region's \"Gap\" must be a real number, got " +
                                 std::string(py::repr(gap)) + ".");
        }
        gaps.push_back(g);
    }
    std::vector<std::size_t> order(gaps.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (std::isnan(gaps[b])) return !std::isnan(gaps[a]);
        return !std::isnan(gaps[a]) && gaps[a] > gaps[b];
    });
    return order;
}

// The training set's slicing columns, when their finiteness check waits for the pass that
// finds the training rows of the regions: with the built-in pass fitting the test set, that
// pass reads those columns anyway and checks them on the way. Until the check is settled
// the object's attributes are kept, so that a refusal leaves the object as it was.
class PendingTrainCheck {
  public:
    PendingTrainCheck(py::object self, DataSet& train, py::list names)
        : self_(std::move(self)), train_(train), names_(std::move(names)) {}

    void start(std::vector<py::ssize_t> used) {
        used_ = std::move(used);
        saved_ = self_.attr("__dict__").attr("copy")();
        active_ = true;
    }
    bool active() const { return active_; }
    // Takes the finiteness of the columns that `known` lists ({column, finite}) from it and
    // scans the others now; refuses the first non-finite column in the order of the
    // slicing features, as the check before the fit would have.
    void settle(const std::vector<std::pair<py::ssize_t, bool>>& known = {}) {
        if (!active_) return;
        active_ = false;
        for (py::ssize_t c : used_) {
            const auto it = std::find_if(known.begin(), known.end(),
                                         [c](const auto& entry) { return entry.first == c; });
            const bool finite = it != known.end() ? it->second : train_.scan_finite({c})[0];
            if (finite) continue;
            py::object state = self_.attr("__dict__");
            state.attr("clear")();
            state.attr("update")(saved_);
            raise_not_finite("train_x", names_[c]);
        }
    }

  private:
    py::object self_;
    DataSet& train_;
    py::list names_;
    std::vector<py::ssize_t> used_;
    py::object saved_;
    bool active_ = false;
};

// The fit once its arguments are checked; `pass` is self._fit, `native` whether that is
// the built-in histogram pass (which leaves `scores` as it found them).
py::object fit_checked(py::object self, DataSet& train, DataSet& test, const py::list& names,
                       py::object feature_names, py::object use_test, bool fit_on_test,
                       const py::object& pass, bool native, PendingTrainCheck& pending);

py::object slicing_fit(py::object self, py::object train_x, py::object train_y, py::object test_x,
                       py::object test_y, py::object train_pred, py::object test_pred,
                       py::object feature_names, py::object use_test,
                       py::object train_sample_weight, py::object test_sample_weight) {
    // Everything is checked before the object changes.
    RefusalGuard guard(self);
    DataSet train = prepare_set("train", train_x, train_y, train_pred, train_sample_weight);
    DataSet test = prepare_set("test", test_x, test_y, test_pred, test_sample_weight);
    const py::ssize_t columns = train.x.shape(1);
    if (test.x.shape(1) != columns) {
        throw py::value_error("train_x has " + std::to_string(columns) +
                              " columns but test_x has " + std::to_string(test.x.shape(1)) + ".");
    }
    if (feature_names.is_none()) {
        throw py::type_error("feature_names must list one name per column, got None.");
    }
    py::list names(feature_names);
    if (static_cast<py::ssize_t>(names.size()) < columns) {
        throw py::index_error("feature_names has " + std::to_string(names.size()) +
                              " names but the feature matrices have " + std::to_string(columns) +
                              " columns.");
    }
    const bool fit_on_test = py::bool_(use_test);
    const py::object pass = self.attr("_fit");
    const bool native = calls_native_histogram_pass(self, pass);
    PendingTrainCheck pending(self, train, names);
    if (py::hasattr(self, "slice_features") && !self.attr("slice_features").is_none()) {
        std::vector<py::ssize_t> used = slice_columns(self.attr("slice_features"), names);
        if (used.size() > 2) used.resize(2);  // the strategies slice on the first two
        const std::vector<bool> test_finite = test.scan_finite(used);
        const bool defer =
            native && fit_on_test && py::hasattr(self, "__dict__") &&
            std::all_of(test_finite.begin(), test_finite.end(), [](bool finite) { return finite; });
        std::vector<bool> train_finite(used.size(), true);
        if (defer) {
            for (py::ssize_t c : used) train.column(c);  // read (and converted) now
        } else {
            train_finite = train.scan_finite(used);
        }
        for (std::size_t k = 0; k < used.size(); ++k) {
            if (!train_finite[k]) raise_not_finite("train_x", names[used[k]]);
            if (!test_finite[k]) raise_not_finite("test_x", names[used[k]]);
        }
        if (defer) pending.start(std::move(used));
    }
    try {
        return guard.keep(fit_checked(self, train, test, names, feature_names, use_test,
                                      fit_on_test, pass, native, pending));
    } catch (...) {
        pending.settle();  // a training column that is not finite is refused first
        throw;
    }
}

py::object fit_checked(py::object self, DataSet& train, DataSet& test, const py::list& names,
                       py::object feature_names, py::object use_test, bool fit_on_test,
                       const py::object& pass, bool native, PendingTrainCheck& pending) {
    const py::ssize_t columns = train.x.shape(1);
    const GcPause pause;

    check_slicing_settings(self, true);
    check_metric_set("train", train.y, train.pred, train.weight);
    check_metric_set("test", test.y, test.pred, test.weight);
    self.attr("use_test") = use_test;
    self.attr("weak_region_stats") = py::list();
    self.attr("feature_names") = feature_names;

    const DataSet& fitting = fit_on_test ? test : train;
    py::object preds = fitting.pred.attr("ravel")();
    py::object scoring_func = self.attr("scoring_func");
    const bool additive = py::bool_(self.attr("is_metric_additive"));
    py::object scores;
    KnownSum scores_sum;  // of the scores computed here, for the built-in pass's mean
    if (additive && is_squared_error(scoring_func) && readable_in_place(fitting.y) &&
        readable_in_place(fitting.pred)) {
        const auto rows = static_cast<std::size_t>(fitting.rows);
        py::array_t<double> errors =
            all_squared_errors(fitting.y, fitting.pred, rows, scores_sum.sum);
        scores_sum.data = errors.data();
        scores_sum.n = rows;
        scores = std::move(errors);
    } else {
        scores = additive ? scoring_func(fitting.y.attr("ravel")(), preds)
                          : scoring_func(fitting.y.attr("ravel")(), preds,
                                         py::arg("sample_weight") = fitting.weight);
    }
    // The built-in histogram pass need not read the columns checked above again, and it
    // leaves the rows of the regions it finds on the fitting set.
    PassMembers pass_members;
    {
        const CheckedColumnsScope known(native ? fitting.checked() : std::vector<CheckedColumn>(),
                                        native ? scores_sum : KnownSum());
        const PassMembersScope rows(native ? &pass_members : nullptr);
        pass(fitting.x, fitting.y, preds, scores, py::arg("sample_weight") = fitting.weight);
    }

    py::object weak_region = self.attr("weak_region");
    const py::list regions = weak_region.is_none() ? py::list() : py::list(weak_region);
    if (regions.size() == 0) {
        pending.settle();
        return py::none();
    }
    const std::vector<py::ssize_t> fidx = fidx_positions(self.attr("fidx"), columns);
    const bool two = fidx.size() != 1;

    std::vector<orrin::Bound> first, second;
    {
        const double test_max = test.max_of(fidx[0]);
        for (std::size_t r = 0; r < regions.size(); ++r) {
            const double ub1 = record_bound(regions[r], "ub1", r);
            first.push_back({record_bound(regions[r], "lb1", r), ub1, ub1 == test_max});
            if (two) {
                second.push_back({record_bound(regions[r], "lb2", r),
                                  record_bound(regions[r], "ub2", r), false});
            }
        }
    }
    // Each set closes the second-feature bounds on its own rows, so each has its own copy.
    orrin::RegionMembership train_regions(first, second), test_regions(first, second);
    const ColumnRef& train_c0 = train.column(fidx[0]);
    const ColumnRef& test_c0 = test.column(fidx[0]);
    const ColumnRef* train_c1 = two ? &train.column(fidx[1]) : nullptr;
    const ColumnRef* test_c1 = two ? &test.column(fidx[1]) : nullptr;
    auto members = [two](orrin::RegionMembership& regions, const ColumnRef& c0, const ColumnRef* c1,
                         orrin::ColumnsFinite* finite) {
        if (!two) return regions.members(c0.view, nullptr, c0.size, finite);
        return regions.members_closing_second(c0.view, c1->view, c0.size, finite);
    };
    // The pass's rows are the fitting set's rows of each region when its first bounds close
    // as the pass's bins do, on the fitting set's own maximum: always on the test set, and on
    // the training set when no region's upper bound tells the two maxima apart.
    bool fitting_known = false;
    if (pass_members.filled) {
        DataSet& fit_set = fit_on_test ? test : train;
        const double fit_max = fit_set.max_of(fidx[0]);
        fitting_known = std::all_of(first.begin(), first.end(), [fit_max](const orrin::Bound& b) {
            return b.closed == (b.ub == fit_max);
        });
        const ColumnRef& c0 = fit_set.column(fidx[0]);
        const ColumnRef* c1 = two ? &fit_set.column(fidx[1]) : nullptr;
        fitting_known = fitting_known && pass_members.matches(c0.view, c1 ? &c1->view : nullptr,
                                                              c0.size, first, second);
    }
    orrin::RegionRows train_groups, test_groups;
    orrin::ColumnsFinite train_finite;
    {
        py::gil_scoped_release release;
        const bool train_known = fitting_known && !fit_on_test;
        const bool test_known = fitting_known && fit_on_test;
        train_groups = train_known ? std::move(pass_members.rows)
                                   : members(train_regions, train_c0, train_c1,
                                             pending.active() ? &train_finite : nullptr);
        test_groups = test_known ? std::move(pass_members.rows)
                                 : members(test_regions, test_c0, test_c1, nullptr);
    }
    if (two) {
        pending.settle({{fidx[0], train_finite.first}, {fidx[1], train_finite.second}});
    } else {
        pending.settle({{fidx[0], train_finite.first}});
    }
    const RegionArrays train_rows = to_arrays(std::move(train_groups));
    const RegionArrays test_rows = to_arrays(std::move(test_groups));
    // The pass's scores at the fitting set's rows of each region, when those rows are its.
    const RegionArrays& fitting_rows = fit_on_test ? test_rows : train_rows;
    const bool pass_scores =
        fitting_known && pass_members.with_scores &&
        pass_members.scores.size() == static_cast<std::size_t>(fitting_rows.offsets.back());

    const py::object score_name = self.attr("score_name");
    const py::object train_all_key = py::str("train_") + score_name + py::str(" All");
    const py::object train_key = py::str("train_") + score_name;
    const py::object test_all_key = py::str("test_") + score_name + py::str(" All");
    const py::object test_key = py::str("test_") + score_name;
    const py::object fit_scores =
        native && additive ? reusable_scores(scoring_func, scores, fitting.rows) : py::none();
    const py::object train_scores = fit_on_test ? py::none() : fit_scores;
    const py::object test_scores = fit_on_test ? fit_scores : py::none();
    py::object copy = module_attr("copy");
    std::vector<double> scratch;
    py::list res_table;
    for (std::size_t r = 0; r < regions.size(); ++r) {
        py::object row = copy(regions[r]);
        update(row, py::str("#Train"), py::int_(train_rows.count(r)));
        update(row, py::str("#Test"), py::int_(test_rows.count(r)));
        const double* known =
            pass_scores ? pass_members.scores.data() + fitting_rows.offsets[r] : nullptr;
        const RegionScore tr = score_region(self, train, train_rows, r, scratch, train_scores,
                                            fit_on_test ? nullptr : known);
        update(row, train_all_key, tr.all);
        update(row, train_key, tr.score);
        const RegionScore te = score_region(self, test, test_rows, r, scratch, test_scores,
                                            fit_on_test ? known : nullptr);
        update(row, test_all_key, te.all);
        update(row, test_key, te.score);
        update(row, py::str("Gap"), te.score - tr.score);
        res_table.append(row);
    }

    py::list stats;
    for (std::size_t i : gap_order(res_table)) stats.append(res_table[i]);
    self.attr("weak_region_stats") = stats;

    py::list cols;
    py::dict rename;
    const py::str name0(names[fidx[0]]);
    cols.append("lb1");
    cols.append("ub1");
    rename["lb1"] = py::str("[") + name0;
    rename["ub1"] = name0 + py::str(")");
    if (two) {
        const py::str name1(names[fidx[1]]);
        cols.append("lb2");
        cols.append("ub2");
        rename["lb2"] = py::str("[") + name1;
        rename["ub2"] = name1 + py::str(")");
    }
    for (const char* key : {"#Test", "#Train"}) cols.append(key);
    cols.append(test_key);
    cols.append(train_key);
    cols.append("Gap");
    // Every record holds every column (the bounds were read from each one above), so taking
    // just these columns equals selecting them from the full frame.
    py::object table = module_attr("pd").attr("DataFrame")(stats, py::arg("columns") = cols);
    return table.attr("rename")(py::arg("columns") = rename);
}

}  // namespace

void register_slicing_fit(py::module_& m) {
    py::object cls = m.attr("BaseSlicing");
    orrin_py::def_method(cls, "fit", &slicing_fit, kFitDoc, py::arg("train_x"), py::arg("train_y"),
                         py::arg("test_x"), py::arg("test_y"), py::arg("train_pred") = py::none(),
                         py::arg("test_pred") = py::none(), py::arg("feature_names") = py::none(),
                         py::arg("use_test") = true, py::arg("train_sample_weight") = py::none(),
                         py::arg("test_sample_weight") = py::none());
}

}  // namespace frailzone
