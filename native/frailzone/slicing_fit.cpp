// BaseSlicing.fit: scores the fitting set, runs the strategy's `_fit`, then re-scores every
// weak region on the training and the test set and returns the gap-sorted table.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <list>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "array_args.hpp"
#include "arrays.hpp"
#include "fit_driver.hpp"
#include "histogram_pass.hpp"
#include "input_checks.hpp"
#include "orrin/numeric.hpp"
#include "orrin/regions.hpp"
#include "pass_members.hpp"
#include "pyclass.hpp"
#include "region_support.hpp"
#include "registry.hpp"
#include "row_gather.hpp"

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

// One data set as the driver reads it. A set given as rows of larger arrays is read where
// it lies: its slicing columns are gathered when first read, and its region rows are mapped
// back to rows of those arrays before anything is taken from them.
struct DataSet {
    std::string prefix;
    py::array x;  // the set's matrix, or the matrix its rows are taken from
    py::array y;
    py::array pred;
    py::object weight;        // None or the caller's weights as an array
    py::array_t<double> w64;  // the weights as float64, for the zero-sum test
    std::optional<py::array_t<std::int64_t>> positions;  // the set's rows within x
    py::ssize_t rows = 0;
    // Columns read as float64 so far, each once, with their ranges once checked finite.
    std::list<std::pair<py::ssize_t, ColumnRef>> columns;  // stable references
    std::vector<std::pair<py::ssize_t, orrin::Range>> ranges;

    const ColumnRef& column(py::ssize_t c) {
        for (const auto& entry : columns) {
            if (entry.first == c) return entry.second;
        }
        ColumnRef col = numeric_column(x, c, prefix + "_x");
        if (positions) col = gathered(col);
        columns.emplace_back(c, std::move(col));
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
    // Region rows of this set as rows of its arrays.
    void to_array_rows(RegionArrays& regions) const {
        if (!positions) return;
        const std::int64_t* pos = positions->data();
        std::int64_t* r = regions.rows.mutable_data();
        const auto n = static_cast<std::size_t>(regions.rows.size());
        for (std::size_t i = 0; i < n; ++i) r[i] = pos[r[i]];
    }

  private:
    // The set's values of a column of x, contiguous.
    ColumnRef gathered(const ColumnRef& full) const {
        const auto n = static_cast<std::size_t>(rows);
        py::array_t<double> values = orrin_py::block_array<double>(n);
        double* dst = values.mutable_data();
        const std::int64_t* pos = positions->data();
        {
            py::gil_scoped_release release;
            for (std::size_t i = 0; i < n; ++i) {
                dst[i] = full.view[static_cast<std::size_t>(pos[i])];
            }
        }
        ColumnRef out;
        out.view = orrin::strided(values.data());
        out.size = n;
        out.owner = std::move(values);
        return out;
    }
};

DataSet prepare_set(const std::string& prefix, const FitSet& given) {
    DataSet set;
    set.prefix = prefix;
    const std::string xname = prefix + "_x";
    set.x = as_matrix(given.x, xname);
    const py::ssize_t matrix_rows = set.x.shape(0);
    set.y = as_aligned(given.y, matrix_rows, prefix + "_y", xname);
    set.pred = as_aligned(given.pred, matrix_rows, prefix + "_pred", xname);
    set.weight = py::none();
    if (!given.weight.is_none()) {
        const std::string wname = prefix + "_sample_weight";
        py::array w = as_aligned(given.weight, matrix_rows, wname, xname);
        if (w.ndim() != 1) throw py::value_error(wname + " must be one-dimensional.");
        set.w64 = as_float64(w, wname.c_str());
        set.weight = w;
    }
    set.rows = matrix_rows;
    if (given.rows) {
        set.positions = *given.rows;
        set.rows = set.positions->size();
        if (set.rows == 0) throw py::value_error(xname + " must hold at least one row.");
    }
    return set;
}

// The set with its own arrays: a set of rows of larger arrays is gathered.
DataSet materialised(DataSet set) {
    if (!set.positions) return set;
    const py::array_t<std::int64_t> pos = *set.positions;
    set.positions.reset();
    set.x = take_rows(set.x, pos);
    set.y = take_rows(set.y, pos);
    set.pred = take_rows(set.pred, pos);
    if (!set.weight.is_none()) {
        py::array w = take_rows(py::reinterpret_borrow<py::array>(set.weight), pos);
        set.w64 = as_float64(w, (set.prefix + "_sample_weight").c_str());
        set.weight = w;
    }
    set.columns.clear();
    set.ranges.clear();
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
    check_rows_within(idx, count, std::min(y.shape(0), pred.shape(0)));
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

// The fields that the fit itself writes, with their earlier values, so that a fit refused
// after a strategy's own pass has read them can take back what it wrote. (The built-in pass
// needs none of them: with it, the fit writes only once everything has succeeded.)
class DriverFields {
  public:
    explicit DriverFields(py::object self) : self_(std::move(self)) {}
    void set(const char* name, const py::object& value) {
        const py::dict state = self_.attr("__dict__");
        if (std::none_of(before_.begin(), before_.end(),
                         [name](const auto& entry) { return entry.first == name; })) {
            before_.emplace_back(name,
                                 state.contains(name) ? py::object(state[name]) : py::object());
        }
        self_.attr(name) = value;
    }
    void take_back() const {
        const py::dict state = self_.attr("__dict__");
        for (const auto& [name, value] : before_) {
            if (value) {
                state[py::str(name)] = value;
            } else if (state.contains(name)) {
                PyDict_DelItemString(state.ptr(), name.c_str());
            }
        }
    }

  private:
    py::object self_;
    std::vector<std::pair<std::string, py::object>> before_;
};

// The rest of the fit once both sets are read: `train` and `test` as prepared, `names` the
// feature names as a list.
py::object fit_sets(const py::object& self, DataSet& train, DataSet& test, const py::list& names,
                    const py::object& feature_names, const py::object& use_test,
                    DriverFields& written) {
    const py::ssize_t columns = train.x.shape(1);
    if (static_cast<py::ssize_t>(names.size()) < columns) {
        throw py::index_error("feature_names has " + std::to_string(names.size()) +
                              " names but the feature matrices have " + std::to_string(columns) +
                              " columns.");
    }
    const bool fit_on_test = py::bool_(use_test);
    DataSet& fitting = fit_on_test ? test : train;
    fitting = materialised(std::move(fitting));
    const py::object pass = self.attr("_fit");
    // The built-in pass hands its fields back instead of setting them, so nothing is written
    // to the strategy before the whole fit has succeeded.
    const bool native = is_histogram_pass(self, pass);

    // The slicing columns of both sets must be finite. With the built-in pass fitting the
    // test set, the training columns are checked while their regions' rows are found (one
    // read of them instead of two); a fault there is still reported first.
    std::vector<py::ssize_t> used;
    bool train_check_pending = false;
    if (py::hasattr(self, "slice_features") && !self.attr("slice_features").is_none()) {
        used = slice_columns(self.attr("slice_features"), names);
        if (used.size() > 2) used.resize(2);  // the strategies slice on the first two
        const std::vector<bool> test_finite = test.scan_finite(used);
        train_check_pending =
            native && fit_on_test &&
            std::all_of(test_finite.begin(), test_finite.end(), [](bool finite) { return finite; });
        std::vector<bool> train_finite(used.size(), true);
        if (train_check_pending) {
            for (py::ssize_t c : used) train.column(c);  // read (and converted) now
        } else {
            train_finite = train.scan_finite(used);
        }
        for (std::size_t k = 0; k < used.size(); ++k) {
            if (!train_finite[k]) raise_not_finite("train_x", names[used[k]]);
            if (!test_finite[k]) raise_not_finite("test_x", names[used[k]]);
        }
    }
    // Settles a pending training check: `known` lists {column, finite} for the columns whose
    // finiteness the membership pass found; the others are scanned now.
    auto settle_train_check = [&](const std::vector<std::pair<py::ssize_t, bool>>& known) {
        if (!train_check_pending) return;
        train_check_pending = false;
        for (py::ssize_t c : used) {
            const auto it = std::find_if(known.begin(), known.end(),
                                         [c](const auto& entry) { return entry.first == c; });
            const bool finite = it != known.end() ? it->second : train.scan_finite({c})[0];
            if (!finite) raise_not_finite("train_x", names[c]);
        }
    };

    py::object scoring_func = self.attr("scoring_func");
    const bool additive = py::bool_(self.attr("is_metric_additive"));
    py::object scores;
    PassFields fields;
    PassMembers pass_members;
    auto write_fields = [&] {
        written.set("use_test", use_test);
        written.set("weak_region_stats", py::list());
        written.set("feature_names", feature_names);
    };
    try {
        // The settings, and the values that reach the metric (a set given as rows of larger
        // arrays was checked at those rows by its caller).
        check_slicing_settings(self, true);
        for (const DataSet* set : {&train, &test}) {
            if (!set->positions) check_metric_set(set->prefix, set->y, set->pred, set->weight);
        }
        py::object preds = fitting.pred.attr("ravel")();
        PassInputs given;
        if (additive && is_squared_error(scoring_func) && readable_in_place(fitting.y) &&
            readable_in_place(fitting.pred)) {
            const auto rows = static_cast<std::size_t>(fitting.rows);
            double sum = 0.0;
            scores = all_squared_errors(fitting.y, fitting.pred, rows, sum);
            given.scores_sum = sum;
        } else {
            scores = additive ? scoring_func(fitting.y.attr("ravel")(), preds)
                              : scoring_func(fitting.y.attr("ravel")(), preds,
                                             py::arg("sample_weight") = fitting.weight);
        }
        if (native) {
            given.feature_names = names;
            given.ranges = fitting.ranges;
            given.members = &pass_members;
            fields =
                histogram_pass(self, fitting.x, fitting.y, preds, scores, fitting.weight, given);
        } else {
            // A strategy's own pass reads these fields, so they are set before it runs.
            write_fields();
            pass(fitting.x, fitting.y, preds, scores, py::arg("sample_weight") = fitting.weight);
        }
    } catch (...) {
        settle_train_check({});  // a training column that is not finite is refused first
        throw;
    }
    auto field = [&](const char* name) {
        return native ? fields.get(name) : py::object(self.attr(name));
    };
    auto commit = [&](const py::object& stats) {
        if (native) {
            write_fields();
            fields.commit(self);
        }
        written.set("weak_region_stats", stats);
    };

    const py::object weak_region = field("weak_region");
    const py::list regions = weak_region.is_none() ? py::list() : py::list(weak_region);
    if (regions.size() == 0) {
        settle_train_check({});
        commit(py::list());
        return py::none();
    }
    const std::vector<py::ssize_t> fidx = fidx_positions(field("fidx"), columns);
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
        const double fit_max = fitting.max_of(fidx[0]);
        fitting_known = std::all_of(first.begin(), first.end(), [fit_max](const orrin::Bound& b) {
            return b.closed == (b.ub == fit_max);
        });
        const ColumnRef& c0 = fitting.column(fidx[0]);
        const ColumnRef* c1 = two ? &fitting.column(fidx[1]) : nullptr;
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
                                             train_check_pending ? &train_finite : nullptr);
        test_groups = test_known ? std::move(pass_members.rows)
                                 : members(test_regions, test_c0, test_c1, nullptr);
    }
    if (two) {
        settle_train_check({{fidx[0], train_finite.first}, {fidx[1], train_finite.second}});
    } else {
        settle_train_check({{fidx[0], train_finite.first}});
    }
    RegionArrays train_rows = to_arrays(std::move(train_groups));
    RegionArrays test_rows = to_arrays(std::move(test_groups));
    train.to_array_rows(train_rows);
    test.to_array_rows(test_rows);
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
    // The built-in pass leaves the scores as it found them, so a region's per-sample scores
    // on the fitting set can be taken from them.
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
    table = table.attr("rename")(py::arg("columns") = rename);
    commit(stats);
    return table;
}

py::object slicing_fit(py::object self, py::object train_x, py::object train_y, py::object test_x,
                       py::object test_y, py::object train_pred, py::object test_pred,
                       py::object feature_names, py::object use_test,
                       py::object train_sample_weight, py::object test_sample_weight) {
    return run_slicing_fit(self, {train_x, train_y, train_pred, train_sample_weight, {}},
                           {test_x, test_y, test_pred, test_sample_weight, {}}, feature_names,
                           use_test);
}

}  // namespace

py::object run_slicing_fit(const py::object& self, const FitSet& train_set, const FitSet& test_set,
                           const py::object& feature_names, const py::object& use_test) {
    // Everything is checked before the object changes.
    DataSet train = prepare_set("train", train_set);
    DataSet test = prepare_set("test", test_set);
    const py::ssize_t columns = train.x.shape(1);
    if (test.x.shape(1) != columns) {
        throw py::value_error("train_x has " + std::to_string(columns) +
                              " columns but test_x has " + std::to_string(test.x.shape(1)) + ".");
    }
    if (feature_names.is_none()) {
        throw py::type_error("feature_names must list one name per column, got None.");
    }
    DriverFields written(self);
    try {
        return fit_sets(self, train, test, py::list(feature_names), feature_names, use_test,
                        written);
    } catch (...) {
        written.take_back();
        throw;
    }
}

bool uses_builtin_fit(const py::object& self) {
    const py::object builtin = module_attr("_builtin_methods")["BaseSlicing.fit"];
    const py::object bound = self.attr("fit");
    if (!PyInstanceMethod_Check(builtin.ptr()) || !PyMethod_Check(bound.ptr())) return false;
    return PyMethod_GET_FUNCTION(bound.ptr()) == PyInstanceMethod_GET_FUNCTION(builtin.ptr());
}

void register_slicing_fit(py::module_& m) {
    py::object cls = m.attr("BaseSlicing");
    orrin_py::def_method(cls, "fit", &slicing_fit, kFitDoc, py::arg("train_x"), py::arg("train_y"),
                         py::arg("test_x"), py::arg("test_y"), py::arg("train_pred") = py::none(),
                         py::arg("test_pred") = py::none(), py::arg("feature_names") = py::none(),
                         py::arg("use_test") = true, py::arg("train_sample_weight") = py::none(),
                         py::arg("test_sample_weight") = py::none());
    // The built-in fit, for FrailZone.fit to tell it from a subclass's own.
    m.attr("_builtin_methods")["BaseSlicing.fit"] = cls.attr("__dict__")["fit"];
}

}  // namespace frailzone
