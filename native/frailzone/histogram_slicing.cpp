// HistogramSlicing: equal-width bins of one slicing feature, or of the first slicing feature
// with a one-dimensional pass over the second inside every first-feature bin.
//
// A pass bins its column once (orrin::build_histogram), scores every bin from the rows of
// that bin in row order, merges runs of weak bins and folds their bin records. Every region
// of a pass is a run of consecutive bins whose upper bound is closed exactly when it is the
// column maximum, so its rows are the rows of those bins (see orrin/histogram.hpp): no
// region rescans the column.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "array_args.hpp"
#include "histogram_pass.hpp"
#include "input_checks.hpp"
#include "orrin/histogram.hpp"
#include "orrin/numeric.hpp"
#include "pass_members.hpp"
#include "pyclass.hpp"
#include "region_scoring.hpp"
#include "region_support.hpp"
#include "registry.hpp"
#include "slicing_docs.hpp"

namespace frailzone {

namespace {

constexpr const char* kHistogramSlicingDoc =
    "Histogram based slicing for analyzing 1D or 2D numerical features.\n"
    "\n" FRAILZONE_SLICING_COMMON_PARAMS
    "min_samples : int, default=30\n"
    "    Smallest number of samples of a merged weak region (additive metrics).\n"
    "bins : int, default=10\n"
    "    Largest number of equal-width bins per slicing feature.\n" FRAILZONE_SLICING_METRIC_PARAM;

constexpr const char* kInitDoc =
    "init(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, "
    "min_samples=30, bins=10, metric=None)\n--\n\n"
    "Store the number of bins and the base configuration.";

constexpr const char* kFit1dDoc =
    "_fit1d(self, x, y, preds, scores, lb1=None, ub1=None, lb2=None, ub2=None, "
    "sample_weight=None)\n--\n\n"
    "One-dimensional histogram pass over the values of one feature.\n"
    "\n"
    "Cuts `x` into min(distinct values, `bins`) equal-width bins (the edges of\n"
    "``np.histogram``), scores every bin, keeps the weak ones and, for an additive metric,\n"
    "merges runs of touching weak bins, drops merged regions with fewer than `min_samples`\n"
    "samples and folds the bin records of each kept region into one record. With two\n"
    "slicing features `x` is the second feature inside one first-feature bin whose bounds\n"
    "are `lb1`, `ub1`.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples,)\n"
    "    Values of the binned feature (read as float64; finite, not empty).\n"
    "y, preds : array-like of shape (n_samples,)\n"
    "    Targets and predictions (read by a non-additive metric).\n"
    "scores : array-like of shape (n_samples,) or float\n"
    "    Per-sample scores of an additive metric; passed through otherwise.\n"
    "lb1, ub1 : float, default=None\n"
    "    First-feature bin bounds in the two-feature form.\n"
    "lb2, ub2 : None\n"
    "    Set by the pass itself in the two-feature form.\n"
    "sample_weight : array-like of shape (n_samples,), default=None\n"
    "    Sample weights.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "weak_region : list of dict\n"
    "rule_list : list of dict\n"
    "bins1d : ndarray of float64\n"
    "    The bin edges.";

constexpr const char* kFit2dDoc =
    "_fit2d(self, x, y, preds, scores, sample_weight=None)\n--\n\n"
    "Two-feature histogram slicing.\n"
    "\n"
    "Bins the first column, and inside every non-empty bin runs the one-dimensional pass\n"
    "over the second column of that bin's samples. Stores `bin_stats`, one record per\n"
    "first-feature bin, and adds to every weak region the percentile ranks \"lb2q\" and\n"
    "\"ub2q\" of its second-feature bounds within its first-feature bin.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, 2)\n"
    "    First and second slicing feature.\n"
    "y, preds, scores, sample_weight\n"
    "    As in `_fit1d`.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "weak_region : list of dict\n"
    "rule_list_all : list of dict\n"
    "bins1d : ndarray of float64\n"
    "    The bin edges of the first feature.";

constexpr const char* kFitDoc =
    "_fit(self, x, y, preds, scores, sample_weight=None)\n--\n\n"
    "Find the weak regions of the slicing features.\n"
    "\n"
    "Stores the inputs, sets `threshold_value` to `threshold` times the overall score, finds\n"
    "the column positions `fidx` of the slicing features (repeats removed) and runs the one-\n"
    "or two-feature pass, storing `weak_region`, `rule_list` and `bins1d`.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n"
    "    The feature matrix, columns in the order of `feature_names`.\n"
    "y, preds : array-like of shape (n_samples,)\n"
    "    Targets and predictions.\n"
    "scores : array-like of shape (n_samples,) or float\n"
    "    Per-sample scores of an additive metric, the overall score otherwise.\n"
    "sample_weight : array-like of shape (n_samples,), default=None\n"
    "    Sample weights.";

// Working buffers of n doubles, left uninitialised (each is written in full before use). The
// next fit at the same size gets them back without fresh pages.
using Buffer = orrin::ReusedArray<double>;
Buffer buffer(std::size_t n, bool needed) {
    return needed ? orrin::reused_array<double>(n) : Buffer();
}

// The buffers a pass sorts its scores and weights into, shared by the passes of one fit so
// the second-feature passes reuse one allocation.
struct Workspace {
    Buffer scores, weights, products;
    std::size_t capacity = 0;
    void reserve(std::size_t n, bool weighted) {
        if (n <= capacity && (!weighted || weights)) return;
        capacity = std::max(n, capacity);
        scores = buffer(capacity, true);
        weights = buffer(capacity, weighted);
        products = buffer(capacity, weighted);
    }
};

// Python's max(a, b) and min(a, b): the first argument unless the second is strictly beyond.
double py_max(double a, double b) { return b > a ? b : a; }
double py_min(double a, double b) { return b < a ? b : a; }

// Everything a pass reads besides its data.
struct PassSettings {
    SlicingConfig metric;
    py::object min_samples;
    std::size_t max_bins = 10;
    bool two_feature = false;
    py::object lb1;  // first-feature bin bounds (two-feature form)
    py::object ub1;
};

struct PassResult {
    py::list weak_region;
    py::list rule_list;
    std::vector<double> edges;
    // Per weak-region record: the number of values below "lb2", and below "ub2" (at or
    // below it when "ub2" is the maximum).
    std::vector<std::pair<std::size_t, std::size_t>> ranks;
};

orrin::Histogram histogram_of(const double* x, std::size_t n, std::size_t max_bins,
                              std::size_t stride, const double* range) {
    try {
        py::gil_scoped_release release;
        if (range != nullptr)
            return orrin::build_histogram(x, n, max_bins, stride, range[0], range[1]);
        return orrin::build_histogram(x, n, max_bins, stride);
    } catch (const orrin::HistogramError& e) {
        throw py::value_error(e.what());
    }
}

// Record keys, created once: building thousands of records then neither allocates nor
// hashes key strings.
struct Keys {
    py::str splits{"splits"}, values{"values"}, counts{"counts"}, f0{"f0"}, f1{"f1"}, lb{"lb"},
        ub{"ub"}, lb1{"lb1"}, ub1{"ub1"}, lb2{"lb2"}, ub2{"ub2"}, lb2q{"lb2q"}, ub2q{"ub2q"},
        support{"support"};
};

const Keys& keys() {
    // Intentionally never destroyed: the strings must outlive every module-level object.
    static const Keys* k = new Keys();
    return *k;
}

void put(const py::dict& d, const py::str& key, const py::handle& value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

py::dict bounds(double lb, double ub) {
    py::dict r;
    put(r, keys().lb, py::float_(lb));
    put(r, keys().ub, py::float_(ub));
    return r;
}

py::dict rule_record(const PassSettings& s, double lb, double ub, const py::object& score,
                     std::size_t count) {
    py::dict splits;
    if (s.two_feature) {
        py::dict first;
        put(first, keys().lb, s.lb1);
        put(first, keys().ub, s.ub1);
        put(splits, keys().f0, first);
        put(splits, keys().f1, bounds(lb, ub));
    } else {
        put(splits, keys().f0, bounds(lb, ub));
    }
    py::dict r;
    put(r, keys().splits, splits);
    put(r, keys().values, score);
    put(r, keys().counts, py::int_(count));
    return r;
}

py::dict weak_record(const PassSettings& s, double lb, double ub) {
    py::dict r;
    if (s.two_feature) {
        put(r, keys().lb1, s.lb1);
        put(r, keys().ub1, s.ub1);
        put(r, keys().lb2, py::float_(lb));
        put(r, keys().ub2, py::float_(ub));
    } else {
        put(r, keys().lb1, py::float_(lb));
        put(r, keys().ub1, py::float_(ub));
    }
    return r;
}

bool at_least_min_samples(const py::object& min_samples, std::size_t count) {
    py::int_ n(count);
    const int res = PyObject_RichCompareBool(min_samples.ptr(), n.ptr(), Py_LE);
    if (res < 0) throw py::error_already_set();
    return res == 1;
}

// With `members`, also leaves there the bounds and rows of every weak region.
PassResult run_pass(const PassSettings& s, const RegionData& d, Workspace& ws,
                    PassMembers* members) {
    PassResult res;
    const double range[2] = {d.x_lo, d.x_hi};
    const orrin::Histogram h =
        histogram_of(d.x, d.n, s.max_bins, d.x_stride, d.has_range ? range : nullptr);
    const std::size_t k = h.nbins();
    const std::vector<double>& e = h.edges;
    res.edges = e;
    const std::vector<std::size_t>& below = h.offset;  // rows in the bins before bin j

    std::vector<py::object> bin_scores(k);
    std::vector<std::size_t> weak_bins;
    std::vector<double> scratch;
    std::vector<double> values(k, kNaN);       // additive bin scores
    std::vector<double> weight_sums(k, kNaN);  // and the sums of the bins' weights
    if (s.metric.additive) {
        {
            py::gil_scoped_release release;
            std::vector<double> sums;
            std::vector<double> wsums;
            if (orrin::bin_sums(h, d.scores, d.weights, sums, wsums)) {
                // np.average of each bin from its numpy sums: over the count, or over the sum of
                // the weights (zero scores NaN).
                for (std::size_t j = 0; j < k; ++j) {
                    const std::size_t m = h.count(j);
                    if (m == 0) continue;
                    if (d.weights == nullptr) {
                        values[j] = sums[j] / static_cast<double>(m);
                        continue;
                    }
                    weight_sums[j] = wsums[j];
                    values[j] = wsums[j] == 0.0 ? kNaN : sums[j] / wsums[j];
                }
            } else {
                // Many bins: each bin's scores (and weights) side by side, in row order, so that
                // np.average of a bin is a pairwise sum over a contiguous run.
                ws.reserve(d.n, d.weights != nullptr);
                const Buffer& sorted_scores = ws.scores;
                const Buffer& sorted_weights = ws.weights;
                const Buffer& products = ws.products;
                orrin::scatter_by_bin(h, {{d.scores, 1}, {d.weights, 1}, {}},
                                      {sorted_scores.get(), sorted_weights.get(), nullptr});
                for (std::size_t j = 0; j < k; ++j) {
                    const std::size_t m = h.count(j);
                    if (m == 0) continue;
                    const double* seg = sorted_scores.get() + h.offset[j];
                    if (d.weights == nullptr) {
                        values[j] = orrin::numpy_mean(seg, m);
                        continue;
                    }
                    const double* wseg = sorted_weights.get() + h.offset[j];
                    weight_sums[j] = orrin::numpy_sum(wseg, m);
                    if (!orrin::numpy_weighted_mean(seg, wseg, m, products.get(), values[j])) {
                        values[j] = kNaN;
                    }
                }
            }
        }
        for (std::size_t j = 0; j < k; ++j) {
            bin_scores[j] = py::float_(values[j]);
            if (h.count(j) > 0 && s.metric.weak(values[j])) weak_bins.push_back(j);
        }
    } else {
        const std::vector<std::int64_t> rows = orrin::rows_by_bin(h);
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t m = h.count(j);
            bin_scores[j] = region_score(s.metric, d, rows.data() + h.offset[j], m, scratch);
            if (m > 0 && region_is_weak(s.metric, bin_scores[j])) weak_bins.push_back(j);
        }
    }

    std::vector<py::dict> bin_records;
    bin_records.reserve(k);
    for (std::size_t j = 0; j < k; ++j) {
        bin_records.push_back(rule_record(s, e[j], e[j + 1], bin_scores[j], h.count(j)));
    }
    // The bins of each weak region, in the order of res.weak_region.
    std::vector<std::pair<std::size_t, std::size_t>> region_bins;
    if (weak_bins.empty() || !s.metric.additive) {
        for (std::size_t j : weak_bins) {
            res.weak_region.append(weak_record(s, e[j], e[j + 1]));
            res.ranks.emplace_back(below[j], e[j + 1] == h.hi ? d.n : below[j + 1]);
            region_bins.emplace_back(j, j);
            if (members != nullptr) members->add_bounds(e[j], e[j + 1]);
        }
        for (auto& r : bin_records) res.rule_list.append(r);
        if (members != nullptr) members->add_rows(h, region_bins, d.scores);
        return res;
    }

    // Merge runs of weak bins; keep the runs with at least `min_samples` rows.
    struct Kept {
        double lb;
        double ub;
    };
    std::vector<Kept> kept;
    for (const orrin::MergedRun& run : orrin::merge_weak_bins(e, weak_bins)) {
        const std::size_t count = below[run.last_bin + 1] - below[run.first_bin];
        if (!at_least_min_samples(s.min_samples, count)) continue;
        const Kept region{py_max(run.lb, h.lo), py_min(run.ub, h.hi)};
        kept.push_back(region);
        res.weak_region.append(weak_record(s, region.lb, region.ub));
        res.ranks.emplace_back(below[run.first_bin],
                               region.ub == h.hi ? d.n : below[run.last_bin + 1]);
        region_bins.emplace_back(run.first_bin, run.last_bin);
        if (members != nullptr) members->add_bounds(region.lb, region.ub);
    }
    if (members != nullptr) members->add_rows(h, region_bins, d.scores);

    // Fold the bin records lying inside each kept region into one record.
    std::vector<std::pair<std::size_t, std::size_t>> folded;
    for (const Kept& region : kept) {
        std::size_t first = 0;
        std::size_t last = 0;
        if (orrin::bins_within(e, region.lb, region.ub, first, last))
            folded.emplace_back(first, last);
    }
    std::vector<double> folded_scores(folded.size(), 0.0);
    std::vector<std::size_t> folded_counts(folded.size(), 0);
    // One feature: weights only when they sum to more than zero. Two features: the weights
    // whenever given (a zero sum scores NaN). A region of one bin under the bin's own
    // weighting holds the bin's rows in the same order, so it has the bin's score.
    std::vector<std::pair<std::size_t, std::size_t>> gathered;
    std::vector<std::size_t> gathered_of;
    for (std::size_t r = 0; r < folded.size(); ++r) {
        const auto [first, last] = folded[r];
        folded_counts[r] = below[last + 1] - below[first];
        const bool same_weighting =
            d.weights == nullptr || s.two_feature || weight_sums[first] > 0.0;
        if (first == last && same_weighting) {
            folded_scores[r] = values[first];
        } else {
            gathered.push_back(folded[r]);
            gathered_of.push_back(r);
        }
    }
    {
        py::gil_scoped_release release;
        orrin::ScratchArray<double> gathered_values[2];
        const std::vector<std::size_t> start =
            orrin::gather_bin_ranges(h, gathered, {{d.scores, 1}, {d.weights, 1}}, gathered_values);
        for (std::size_t g = 0; g < gathered.size(); ++g) {
            const std::size_t m = start[g + 1] - start[g];
            if (m == 0) continue;
            const double* seg = gathered_values[0].get() + start[g];
            const double* wseg =
                d.weights != nullptr ? gathered_values[1].get() + start[g] : nullptr;
            if (wseg != nullptr && !s.two_feature && !(orrin::numpy_sum(wseg, m) > 0.0)) {
                wseg = nullptr;
            }
            double& out = folded_scores[gathered_of[g]];
            if (wseg == nullptr) {
                out = orrin::numpy_mean(seg, m);
            } else {
                scratch.resize(m);
                if (!orrin::numpy_weighted_mean(seg, wseg, m, scratch.data(), out)) out = kNaN;
            }
        }
    }
    std::vector<bool> excluded(k, false);
    for (std::size_t r = 0; r < folded.size(); ++r) {
        const auto [first, last] = folded[r];
        for (std::size_t j = first; j <= last; ++j) excluded[j] = true;
        res.rule_list.append(
            rule_record(s, e[first], e[last + 1], py::float_(folded_scores[r]), folded_counts[r]));
    }
    for (std::size_t j = 0; j < k; ++j) {
        if (!excluded[j]) res.rule_list.append(bin_records[j]);
    }
    return res;
}

py::array_t<double> edges_array(const std::vector<double>& edges) {
    py::array_t<double> out(static_cast<py::ssize_t>(edges.size()));
    std::copy(edges.begin(), edges.end(), out.mutable_data());
    return out;
}

// The settings of a pass with the weak-region limit `limit`.
PassSettings pass_settings(const py::object& self, std::size_t n, const py::object& limit,
                           bool two_feature) {
    PassSettings s;
    s.metric = SlicingConfig::read(self, false);
    s.metric.set_limit(limit);
    s.min_samples = self.attr("min_samples");
    s.max_bins = bins_argument(self.attr("bins"), n);
    s.two_feature = two_feature;
    s.lb1 = py::none();
    s.ub1 = py::none();
    return s;
}

// The settings of a pass on a fitted strategy: its limit and slicing features.
PassSettings fitted_pass_settings(const py::object& self, std::size_t n) {
    return pass_settings(self, n, self.attr("threshold_value"), py::len(self.attr("fidx")) != 1);
}

// Column j of a 2-D array as float64 values.
Column matrix_column(const py::array& x, py::ssize_t j) {
    py::object col = x[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
    return float64_column(py::reinterpret_borrow<py::array>(col), "x");
}

// Takes the range of column j from the ranges the caller has checked; false when it has none.
bool take_checked_range(Column& c, py::ssize_t j, const PassInputs& given) {
    for (const auto& [position, range] : given.ranges) {
        if (position != j) continue;
        c.has_range = true;
        c.lo = range.lo;
        c.hi = range.hi;
        return true;
    }
    return false;
}

// Column j of a 2-D array as finite float64 values.
Column binned_column(const py::array& x, py::ssize_t j, const std::string& name,
                     const PassInputs& given) {
    Column values = matrix_column(x, j);
    if (!take_checked_range(values, j, given)) check_finite(values, name);
    return values;
}

// Columns j0 and j1 as finite float64 values, checked in one pass over the rows; the faults
// of column j0 come first.
std::pair<Column, Column> binned_columns(const py::array& x, py::ssize_t j0,
                                         const std::string& name0, py::ssize_t j1,
                                         const std::string& name1, const PassInputs& given) {
    std::pair<Column, Column> cols;
    cols.first = matrix_column(x, j0);
    try {
        cols.second = matrix_column(x, j1);
    } catch (...) {
        check_finite(cols.first, name0);
        throw;
    }
    if (take_checked_range(cols.first, j0, given) && take_checked_range(cols.second, j1, given)) {
        return cols;
    }
    check_finite(cols.first, name0, cols.second, name1);
    return cols;
}

py::array matrix_argument(const py::object& x) {
    py::array a = as_ndarray(x, "x");
    if (a.ndim() != 2) {
        throw py::value_error("x must be a 2-D matrix, got " + std::to_string(a.ndim()) +
                              " dimensions");
    }
    if (a.shape(0) == 0) throw py::value_error("x is empty: there are no samples to slice");
    return a;
}

py::tuple fit1d_impl(const PassSettings& s, const RegionData& d, PassMembers* members) {
    Workspace ws;
    const PassResult r = run_pass(s, d, ws, members);
    return py::make_tuple(r.weak_region, r.rule_list, edges_array(r.edges));
}

// `bin_stats` gets one record per first-feature bin.
py::tuple fit2d_impl(py::list bin_stats, const PassSettings& base, const RegionData& d,
                     const Column& x0, const Column& x1, PassMembers* members) {
    py::list weak_region;
    py::list rule_list_all;
    const double first_range[2] = {x0.lo, x0.hi};
    const orrin::Histogram h0 =
        histogram_of(x0.data, d.n, base.max_bins, x0.stride, x0.has_range ? first_range : nullptr);
    const bool additive = base.metric.additive;
    // The second feature, scores and weights of every first-feature bin, contiguous and in
    // row order.
    const Buffer x1_sorted = buffer(d.n, true);
    const Buffer scores_sorted = buffer(d.n, additive);
    const Buffer weights_sorted = buffer(d.n, d.weights != nullptr);
    // The row of every sorted position, for the regions' rows.
    const orrin::ReusedArray<std::uint32_t> row_of = members != nullptr
                                                         ? orrin::reused_array<std::uint32_t>(d.n)
                                                         : orrin::ReusedArray<std::uint32_t>();
    {
        py::gil_scoped_release release;
        orrin::scatter_by_bin(
            h0, {{x1.data, x1.stride}, {additive ? d.scores : nullptr, 1}, {d.weights, 1}},
            {x1_sorted.get(), scores_sorted.get(), weights_sorted.get()}, row_of.get());
    }
    std::vector<std::int64_t> rows;
    if (!additive) rows = orrin::rows_by_bin(h0);
    Workspace ws;
    for (std::size_t i = 0; i < h0.nbins(); ++i) {
        const std::size_t m = h0.count(i);
        const std::size_t off = h0.offset[i];
        const double lb = py_max(h0.edges[i], h0.lo);
        const double ub = py_min(h0.edges[i + 1], h0.hi);
        py::dict stats;
        put(stats, keys().lb1, py::float_(lb));
        put(stats, keys().ub1, py::float_(ub));
        if (m == 0) {
            put(stats, keys().lb2, py::float_(kNaN));
            put(stats, keys().ub2, py::float_(kNaN));
            put(stats, keys().support, py::int_(0));
            bin_stats.append(stats);
            continue;
        }
        const auto range = orrin::min_max(x1_sorted.get() + off, m);
        put(stats, keys().lb2, py::float_(range.first));
        put(stats, keys().ub2, py::float_(range.second));
        put(stats, keys().support, py::int_(m));
        bin_stats.append(stats);

        RegionData local;
        local.x = x1_sorted.get() + off;
        local.n = m;
        local.has_range = true;
        local.x_lo = range.first;
        local.x_hi = range.second;
        local.scores = additive ? scores_sorted.get() + off : nullptr;
        local.weights = d.weights != nullptr ? weights_sorted.get() + off : nullptr;
        local.y = py::none();
        local.preds = py::none();
        local.sample_weight = py::none();
        if (!additive) {
            // The bin's own score under a non-additive metric; the region services of the
            // pass do not read it, but the scoring callable sees the bin as the steps say.
            py::array_t<py::ssize_t> pos = intp_array(rows.data() + off, m);
            local.y = d.y.is_none() ? py::object(py::none()) : py::object(d.y[pos]);
            local.preds = d.preds.is_none() ? py::object(py::none()) : py::object(d.preds[pos]);
            if (!d.sample_weight.is_none()) local.sample_weight = d.sample_weight[pos];
            const bool zero_weight =
                local.weights != nullptr && orrin::numpy_sum(local.weights, m) == 0.0;
            if (!zero_weight) {
                base.metric.scoring_func(local.y, local.preds,
                                         py::arg("sample_weight") = local.sample_weight);
            }
        }
        PassSettings s = base;
        s.two_feature = true;
        s.lb1 = py::float_(lb);
        s.ub1 = py::float_(ub);
        if (members != nullptr) {
            members->row_of = row_of.get() + off;
            members->lb1 = lb;
            members->ub1 = ub;
        }
        const PassResult r = run_pass(s, local, ws, members);
        for (py::handle rec : r.rule_list) rule_list_all.append(rec);
        for (std::size_t q = 0; q < r.ranks.size(); ++q) {
            py::dict item = r.weak_region[q];
            put(item, keys().lb2q, py::float_(orrin::percentile_rank(r.ranks[q].first, m)));
            put(item, keys().ub2q, py::float_(orrin::percentile_rank(r.ranks[q].second, m)));
            weak_region.append(item);
        }
    }
    return py::make_tuple(weak_region, rule_list_all, edges_array(h0.edges));
}

void histogram_init(py::object self, py::object estimator, py::object slice_features,
                    py::object task_type, py::object threshold, py::object min_samples,
                    py::object bins, py::object metric, py::object cls) {
    self.attr("bins") = bins;
    orrin_py::super_of(cls, self).attr("__init__")(
        py::arg("estimator") = estimator, py::arg("slice_features") = slice_features,
        py::arg("task_type") = task_type, py::arg("threshold") = threshold,
        py::arg("min_samples") = min_samples, py::arg("metric") = metric);
}

py::tuple fit1d(py::object self, py::object x, py::object y, py::object preds, py::object scores,
                py::object lb1, py::object ub1, py::object /*lb2*/, py::object /*ub2*/,
                py::object sample_weight) {
    Column values = float64_column(as_ndarray(x, "x"), "x");
    const std::size_t n = values.n;
    if (n == 0) throw py::value_error("x is empty: there are no samples to bin");
    check_finite(values, "x");
    PassSettings s = fitted_pass_settings(self, n);
    const RegionArgs a = region_args(s.metric, values, y, preds, scores, sample_weight);
    s.lb1 = lb1;
    s.ub1 = ub1;
    return fit1d_impl(s, a.data, nullptr);
}

py::tuple fit2d(py::object self, py::object x, py::object y, py::object preds, py::object scores,
                py::object sample_weight) {
    py::array matrix = matrix_argument(x);
    if (matrix.shape(1) != 2) {
        throw py::value_error(
            "x must have exactly two columns (first and second slicing "
            "feature), got " +
            std::to_string(matrix.shape(1)));
    }
    const auto [x0, x1] = binned_columns(matrix, 0, "x[:, 0]", 1, "x[:, 1]", PassInputs());
    const std::size_t n = x0.n;
    const PassSettings s = fitted_pass_settings(self, n);
    const RegionArgs a = region_args(s.metric, x0, y, preds, scores, sample_weight);
    const py::list bin_stats;
    py::tuple result = fit2d_impl(bin_stats, s, a.data, x0, x1, nullptr);
    self.attr("bin_stats") = bin_stats;
    return result;
}

// Column positions of the slicing features, repeats removed in order of first appearance.
std::vector<py::ssize_t> slice_positions(const py::object& self, const py::list& names,
                                         py::ssize_t n_columns) {
    std::vector<py::ssize_t> positions;
    for (py::handle feature : py::iter(self.attr("slice_features"))) {
        py::ssize_t pos = -1;
        for (py::ssize_t j = 0; j < static_cast<py::ssize_t>(py::len(names)); ++j) {
            if (py::object(names[static_cast<std::size_t>(j)]).equal(feature)) {
                pos = j;
                break;
            }
        }
        if (pos < 0) {
            throw py::value_error("slice_features: " + py::repr(feature).cast<std::string>() +
                                  " is not in feature_names");
        }
        if (pos >= n_columns) {
            throw py::value_error("x has " + std::to_string(n_columns) + " columns but feature " +
                                  py::repr(feature).cast<std::string>() + " is at position " +
                                  std::to_string(pos));
        }
        bool repeat = false;
        for (py::ssize_t p : positions) repeat = repeat || p == pos;
        if (!repeat) positions.push_back(pos);
    }
    if (positions.empty()) throw py::index_error("slice_features: no slicing feature given");
    return positions;
}

std::string column_name(const py::list& names, py::ssize_t pos) {
    return "x (feature " + py::repr(names[static_cast<std::size_t>(pos)]).cast<std::string>() + ")";
}

void fit(py::object self, py::object x, py::object y, py::object preds, py::object scores,
         py::object sample_weight) {
    histogram_pass(self, x, y, preds, scores, sample_weight, PassInputs()).commit(self);
}

}  // namespace

PassFields histogram_pass(const py::object& self, const py::object& x, const py::object& y,
                          const py::object& preds, const py::object& scores,
                          const py::object& sample_weight, const PassInputs& given) {
    check_slicing_settings(self, false);
    check_pass_inputs(self, scores, sample_weight, given.scores_sum);
    const SlicingConfig metric = SlicingConfig::read(self, false);
    const py::list names(given.feature_names ? given.feature_names
                                             : py::object(self.attr("feature_names")));
    py::array matrix = matrix_argument(x);
    const std::vector<py::ssize_t> fidx = slice_positions(self, names, matrix.shape(1));
    const bool one = fidx.size() == 1;
    Column x0;
    Column x1;
    if (one) {
        x0 = binned_column(matrix, fidx[0], column_name(names, fidx[0]), given);
    } else {
        std::tie(x0, x1) = binned_columns(matrix, fidx[0], column_name(names, fidx[0]), fidx[1],
                                          column_name(names, fidx[1]), given);
    }
    const std::size_t n = x0.n;
    bins_argument(self.attr("bins"), n);
    const RegionArgs a = region_args(metric, x0, y, preds, scores, sample_weight);

    PassFields fields;
    fields.set("x", x);
    fields.set("y", y);
    fields.set("preds", preds);
    fields.set("scores", scores);
    // Set first as empty lists, so the strategy's fields keep their order of appearance.
    fields.set("rule_list", py::list());
    fields.set("weak_region", py::list());
    py::object avg_score = scores;
    if (metric.additive) {
        double avg = 0.0;
        {
            py::gil_scoped_release release;
            const double* w = a.data.weights;
            if (w != nullptr && !(orrin::numpy_sum(w, n) > 0.0)) w = nullptr;
            if (w == nullptr) {
                avg = given.scores_sum
                          ? *given.scores_sum / static_cast<double>(n)  // as numpy_mean
                          : orrin::numpy_mean(a.data.scores, n);
            } else {
                const Buffer products = buffer(n, true);
                orrin::numpy_weighted_mean(a.data.scores, w, n, products.get(), avg);
            }
        }
        avg_score = py::float_(avg);
    }
    const py::object threshold_value = py::object(self.attr("threshold")) * avg_score;
    fields.set("threshold_value", threshold_value);
    py::list positions;
    for (py::ssize_t p : fidx) positions.append(py::int_(p));
    fields.set("fidx", positions);

    const PassSettings s = pass_settings(self, n, threshold_value, !one);
    PassMembers* members = given.members;
    // Sorted positions are mapped back to rows in 32 bits.
    if (!one && n > std::numeric_limits<std::uint32_t>::max()) members = nullptr;
    if (members != nullptr) {
        members->two_features = !one;
        members->n = n;
        members->columns[0] = orrin::strided(x0.data, x0.stride);
        members->columns[1] = orrin::strided(x1.data, x1.stride);
    }
    py::tuple result;
    if (one) {
        result = fit1d_impl(s, a.data, members);
    } else {
        const py::list bin_stats;
        result = fit2d_impl(bin_stats, s, a.data, x0, x1, members);
        fields.set("bin_stats", bin_stats);
    }
    fields.set("rule_list", result[1]);
    fields.set("weak_region", result[0]);
    fields.set("bins1d", result[2]);
    if (members != nullptr) members->filled = true;
    return fields;
}

bool is_histogram_pass(const py::object& self, const py::object& bound) {
    const py::object native = module_attr("_builtin_methods")["HistogramSlicing._fit"];
    if (!PyInstanceMethod_Check(native.ptr()) || !PyMethod_Check(bound.ptr())) return false;
    return PyMethod_GET_FUNCTION(bound.ptr()) == PyInstanceMethod_GET_FUNCTION(native.ptr()) &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

void register_histogram_slicing(py::module_& m) {
    py::object base = m.attr("BaseSlicing");
    py::object cls =
        orrin_py::make_class(m, "HistogramSlicing", py::make_tuple(base), kHistogramSlicingDoc);
    orrin_py::def_init(
        cls,
        [cls](py::object self, py::object estimator, py::object slice_features,
              py::object task_type, py::object threshold, py::object min_samples, py::object bins,
              py::object metric) {
            histogram_init(self, estimator, slice_features, task_type, threshold, min_samples, bins,
                           metric, cls);
        },
        kInitDoc, py::arg("estimator") = py::none(), py::arg("slice_features") = py::none(),
        py::arg("task_type") = py::none(), py::arg("threshold") = 1.2, py::arg("min_samples") = 30,
        py::arg("bins") = 10, py::arg("metric") = py::none());
    orrin_py::def_method(cls, "_fit1d", &fit1d, kFit1dDoc, py::arg("x"), py::arg("y"),
                         py::arg("preds"), py::arg("scores"), py::arg("lb1") = py::none(),
                         py::arg("ub1") = py::none(), py::arg("lb2") = py::none(),
                         py::arg("ub2") = py::none(), py::arg("sample_weight") = py::none());
    orrin_py::def_method(cls, "_fit2d", &fit2d, kFit2dDoc, py::arg("x"), py::arg("y"),
                         py::arg("preds"), py::arg("scores"),
                         py::arg("sample_weight") = py::none());
    orrin_py::def_method(cls, "_fit", &fit, kFitDoc, py::arg("x"), py::arg("y"), py::arg("preds"),
                         py::arg("scores"), py::arg("sample_weight") = py::none());
    // The built-in pass, for BaseSlicing.fit to tell it from a subclass's own.
    m.attr("_builtin_methods")["HistogramSlicing._fit"] = cls.attr("__dict__")["_fit"];
}

}  // namespace frailzone
