// WeakRegionScan: every feature and every pair of features searched for weak regions, each
// candidate's regions exactly those of a FrailZone fitted on that candidate alone, ranked by
// the share of the test error they carry beyond the average.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "orrin/numeric.hpp"
#include "orrin/scan.hpp"
#include "pyclass.hpp"
#include "registry.hpp"

namespace scan {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr const char* kScanDoc =
    "Weak-region scan over every feature and every pair of features.\n"
    "\n"
    "For each candidate (every feature in `features` and, with `pairs`, every unordered\n"
    "pair of them) the scan finds the weak regions that ``FrailZone`` finds for that\n"
    "candidate with the same settings, re-scores them on the training and the test split,\n"
    "and ranks the candidates by `excess`: with ``s`` the metric's sign (-1 for losses, +1\n"
    "for scores), the sum over the candidate's weak regions r of\n"
    "``(#Test_r / n_test) * s * (overall test score - test score of r)``, the share of the\n"
    "test error that the regions carry beyond the average (a region with no test row, or a\n"
    "NaN test score, adds 0). A pair's `lift` is its excess minus the larger excess of its\n"
    "two features alone.\n"
    "\n"
    "With ``method=\"histogram\"`` every feature is binned once and the bins, sorted rows\n"
    "and per-bin sums are shared by all candidates; with ``method=\"tree\"`` every candidate\n"
    "costs one ``FrailZone`` fit (one decision tree per candidate).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "estimator : object\n"
    "    The model to diagnose.\n"
    "task_type : {\"regression\", \"classification\"}, default=None\n"
    "    The task type of the model.\n"
    "method : {\"histogram\", \"tree\"}, default=\"histogram\"\n"
    "    The slicing method of every candidate.\n"
    "features : list of str, default=None\n"
    "    The features to scan; None scans all.\n"
    "pairs : bool, default=True\n"
    "    Also scan every unordered pair of the features.\n"
    "threshold, bins, max_depth, min_samples, metric, use_test, random_state\n"
    "    As in ``FrailZone``.\n"
    "progress : bool, default=False\n"
    "    Show a progress bar (needs tqdm: ``pip install orrin[scan]``).\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "results_ : pandas.DataFrame\n"
    "    One row per candidate, largest excess first: \"feature_1\", \"feature_2\" (None\n"
    "    for a single feature), \"n_regions\", \"test_share\" (share of the test rows inside\n"
    "    the weak regions), \"max_gap\" (largest test-minus-train gap), \"excess\", \"lift\"\n"
    "    (NaN for a single feature) and \"top_region\" (the bounds of the region that adds\n"
    "    most to the excess).\n"
    "regions_ : pandas.DataFrame\n"
    "    Every candidate's weak regions in the order of its FrailZone table: the features,\n"
    "    \"lb1\", \"ub1\", \"lb2\", \"ub2\" (NaN for a single feature), \"#Test\", \"#Train\",\n"
    "    \"test_score\", \"train_score\", \"Gap\" and \"contribution\" (the region's term of\n"
    "    the excess).\n"
    "test_score_ : float\n"
    "    The overall test score.\n";

constexpr const char* kInitDoc =
    "init(self, estimator, task_type=None, method='histogram', features=None, pairs=True, "
    "threshold=1.2, bins=10, max_depth=2, min_samples=20, metric=None, use_test=False, "
    "random_state=0, progress=False)\n--\n\n"
    "Store the configuration; nothing is validated until `fit`.";

constexpr const char* kFitDoc =
    "fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, "
    "feature_names=None, feature_types=None, sample_weight=None)\n--\n\n"
    "Scan every candidate for weak regions.\n"
    "\n"
    "The arguments mean what they mean for ``FrailZone.fit``, and a refused input raises\n"
    "what ``FrailZone.fit`` raises for the first candidate that it refuses. When fit\n"
    "raises, the scan keeps the state of its previous fit.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "self\n";

constexpr const char* kFrailZoneDoc =
    "frailzone(self, features)\n--\n\n"
    "The FrailZone of one candidate, fitted on the data of the last `fit`.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "features : list of str\n"
    "    One or two feature names.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "FrailZone\n"
    "    ``FrailZone(...).fit(...)`` with the scan's settings and data.\n";

py::object module_attr(const char* name) {
    return py::module_::import("orrin.diagnoser.scan").attr(name);
}

bool is_text(const py::object& value, const char* text) {
    return py::isinstance<py::str>(value) && value.cast<std::string>() == text;
}

void scan_init(py::object self, py::object estimator, py::object task_type, py::object method,
               py::object features, py::object pairs, py::object threshold, py::object bins,
               py::object max_depth, py::object min_samples, py::object metric, py::object use_test,
               py::object random_state, py::object progress) {
    orrin_py::super_of(module_attr("WeakRegionScan"), self)
        .attr("__init__")(estimator, task_type, random_state);
    self.attr("method") = method;
    self.attr("features") = features;
    self.attr("pairs") = pairs;
    self.attr("threshold") = threshold;
    self.attr("bins") = bins;
    self.attr("max_depth") = max_depth;
    self.attr("min_samples") = min_samples;
    self.attr("metric") = metric;
    self.attr("use_test") = use_test;
    self.attr("random_state") = random_state;
    self.attr("progress") = progress;
}

py::object scan_frailzone(py::object self, py::object features) {
    py::object fz = module_attr("FrailZone")(
        self.attr("estimator"), py::list(features), py::arg("task_type") = self.attr("task_type"),
        py::arg("threshold") = self.attr("threshold"), py::arg("method") = self.attr("method"),
        py::arg("bins") = self.attr("bins"), py::arg("max_depth") = self.attr("max_depth"),
        py::arg("min_samples") = self.attr("min_samples"), py::arg("metric") = self.attr("metric"),
        py::arg("use_test") = self.attr("use_test"),
        py::arg("random_state") = self.attr("random_state"));
    fz.attr("fit")(self.attr("x"), self.attr("y"), self.attr("train_idx"), self.attr("test_idx"),
                   py::arg("prediction") = self.attr("pred"),
                   py::arg("prediction_proba") = self.attr("pred_proba"),
                   py::arg("sample_weight") = self.attr("sample_weight"),
                   py::arg("feature_names") = self.attr("feature_names"),
                   py::arg("feature_types") = self.attr("feature_types"));
    return fz;
}

// Column positions of the scanned features, repeats removed in order of first appearance.
std::vector<py::ssize_t> feature_columns(const py::object& features, const py::list& names) {
    if (features.is_none()) {
        std::vector<py::ssize_t> all(names.size());
        for (std::size_t j = 0; j < names.size(); ++j) all[j] = static_cast<py::ssize_t>(j);
        return all;
    }
    if (py::isinstance<py::str>(features) || !py::hasattr(features, "__iter__")) {
        throw py::type_error("features must be a list of feature names, got " +
                             std::string(py::repr(features)) + ".");
    }
    std::vector<py::ssize_t> out;
    for (py::handle name : features) {
        py::ssize_t pos = -1;
        for (std::size_t j = 0; j < names.size() && pos < 0; ++j) {
            const int eq = PyObject_RichCompareBool(names[j].ptr(), name.ptr(), Py_EQ);
            if (eq < 0) throw py::error_already_set();
            if (eq == 1) pos = static_cast<py::ssize_t>(j);
        }
        if (pos < 0) {
            throw py::value_error("feature " + std::string(py::repr(name)) +
                                  " is not a feature name; feature names are " +
                                  std::string(py::repr(names)) + ".");
        }
        bool repeat = false;
        for (py::ssize_t p : out) repeat = repeat || p == pos;
        if (!repeat) out.push_back(pos);
    }
    if (out.empty()) throw py::value_error("features must name at least one feature.");
    return out;
}

// One split of the data as the scan reads it: the scanned columns side by side.
struct SetData {
    py::array_t<double> columns;  // (features, rows), C order
    std::size_t rows = 0;
    py::object y, pred, weight;  // numpy arrays (weight may be None)
    py::array_t<double> scores;  // per-sample scores of an additive metric
    const double* w = nullptr;
    py::array_t<double> w64;

    orrin::StridedColumn column(std::size_t k) const {
        return orrin::strided(columns.data() + k * rows);
    }
};

SetData read_set(const py::object& self, const py::object& idx,
                 const std::vector<py::ssize_t>& cols, const py::object& source) {
    py::object np = module_attr("np");
    SetData s;
    // The stored matrix is read in place when it holds float64 values, else converted once.
    py::array x = np.attr("asarray")(self.attr("x"));
    if (!x.dtype().is(py::dtype::of<double>()) || !py::bool_(x.attr("flags").attr("aligned"))) {
        x = np.attr("asarray")(x, py::arg("dtype") = np.attr("float64"));
    }
    // Positions may count from the end, as numpy indexing lets them.
    const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> given(idx);
    std::vector<std::int64_t> rows(given.data(), given.data() + given.size());
    const auto n = static_cast<std::int64_t>(x.shape(0));
    for (std::int64_t& r : rows) {
        r += r < 0 ? n : 0;
        if (r < 0 || r >= n) throw py::index_error("a split's row lies outside the stored x.");
    }
    s.rows = rows.size();
    s.columns =
        orrin_py::block_array<double>(cols.size() * s.rows).attr("reshape")(cols.size(), s.rows);
    std::vector<std::size_t> positions(cols.begin(), cols.end());
    {
        const char* base = static_cast<const char*>(x.data());
        const py::ssize_t row_stride = x.strides(0);
        const py::ssize_t col_stride = x.strides(1);
        double* out = s.columns.mutable_data();
        const std::int64_t* r = rows.data();
        py::gil_scoped_release release;
        orrin::gather_columns(base, row_stride, col_stride, r, s.rows, positions.data(),
                              positions.size(), out);
    }
    s.y = py::object(self.attr("y"))[idx];
    s.pred = source.is_none() ? py::object(py::none()) : py::object(source[idx]);
    const py::object weights = self.attr("sample_weight");
    s.weight = weights.is_none() ? py::object(py::none()) : py::object(weights[idx]);
    if (!s.weight.is_none()) {
        s.w64 = orrin_py::contiguous_float64(s.weight);
        s.w = s.w64.data();
    }
    return s;
}

void raise_not_finite(const char* name, const py::handle& feature) {
    throw py::value_error(std::string(name) + " holds NaN or infinite values in the slicing " +
                          "feature " + std::string(py::repr(feature)) + ".");
}

// Scores rows of one set with the metric's scoring callable (non-additive metrics).
orrin::RowsScore callable_scorer(const py::object& scoring_func, const SetData& s) {
    return [scoring_func, &s](const std::int64_t* rows, std::size_t m) -> double {
        py::array_t<std::int64_t> idx(static_cast<py::ssize_t>(m));
        std::copy(rows, rows + m, idx.mutable_data());
        py::object w = s.weight.is_none() ? py::object(py::none()) : py::object(s.weight[idx]);
        py::object score = scoring_func(s.y[idx], s.pred[idx], py::arg("sample_weight") = w);
        return py::float_(score).cast<double>();
    };
}

// One candidate's weak regions, scored on both splits, in the order of its table.
struct Candidate {
    py::ssize_t a = 0;   // position among the scanned features
    py::ssize_t b = -1;  // -1 for a single feature
    std::vector<orrin::ScanRegion> regions;
    orrin::SetScores train, test;
    std::vector<std::size_t> order;
    double excess = 0.0;
};

// The overall test score: the (weighted) mean of the per-sample scores, unweighted when the
// weights sum to zero, or the scoring callable over the whole test split.
double overall_score(bool additive, const py::object& scoring_func, const SetData& test) {
    if (!additive) {
        return py::float_(scoring_func(test.y, test.pred, py::arg("sample_weight") = test.weight))
            .cast<double>();
    }
    const double* s = test.scores.data();
    if (test.w != nullptr && orrin::numpy_sum(test.w, test.rows) > 0.0) {
        std::vector<double> products(test.rows);
        double out = kNaN;
        orrin::numpy_weighted_mean(s, test.w, test.rows, products.data(), out);
        return out;
    }
    return orrin::numpy_mean(s, test.rows);
}

// The progress bar, or nothing.
struct Progress {
    py::object bar = py::none();
    Progress(const py::object& on, std::size_t total) {
        if (!py::bool_(on)) return;
        py::module_ tqdm;
        try {
            tqdm = py::module_::import("tqdm");
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ImportError)) throw;
            throw py::import_error(
                "progress=True needs tqdm: pip install tqdm (or pip install orrin[scan]).");
        }
        bar = tqdm.attr("tqdm")(py::arg("total") = total, py::arg("desc") = "weak-region scan",
                                py::arg("unit") = "candidate");
    }
    void step() const {
        if (!bar.is_none()) bar.attr("update")(1);
    }
    ~Progress() {
        if (bar.is_none()) return;
        try {
            bar.attr("close")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("closing the progress bar");
        }
    }
};

// Region bounds, counts and scores from a fitted FrailZone's table rows.
void from_table(Candidate& c, const py::object& fz) {
    py::object diag = fz.attr("diag");
    const std::string name = py::str(diag.attr("score_name"));
    const py::str test_key("test_" + name);
    const py::str train_key("train_" + name);
    for (py::handle row : py::list(diag.attr("weak_region_stats"))) {
        const bool pair = c.b >= 0;
        c.regions.push_back({py::float_(row["lb1"]).cast<double>(),
                             py::float_(row["ub1"]).cast<double>(),
                             pair ? py::float_(row["lb2"]).cast<double>() : kNaN,
                             pair ? py::float_(row["ub2"]).cast<double>() : kNaN});
        c.test.counts.push_back(py::int_(row["#Test"]).cast<std::size_t>());
        c.train.counts.push_back(py::int_(row["#Train"]).cast<std::size_t>());
        c.test.scores.push_back(py::float_(row[test_key]).cast<double>());
        c.train.scores.push_back(py::float_(row[train_key]).cast<double>());
        c.order.push_back(c.order.size());
    }
}

py::object bounds_text(const py::handle& name, double lb, double ub) {
    return py::str("{} [{:.4g}, {:.4g}]").format(name, lb, ub);
}

void fit_steps(py::object self, py::object x, py::object y, py::object train_idx,
               py::object test_idx, py::object prediction, py::object prediction_proba,
               py::object feature_names, py::object feature_types, py::object sample_weight) {
    orrin_py::super_of(module_attr("WeakRegionScan"), self)
        .attr("fit")(x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                     feature_names, feature_types, py::none(), py::none());
    const py::object method = self.attr("method");
    const bool tree = is_text(method, "tree");
    if (!tree && !is_text(method, "histogram")) {
        py::set_error(module_attr("OrrinError"),
                      "frailzone method should be either histogram or tree.");
        throw py::error_already_set();
    }
    const py::list names(self.attr("feature_names"));
    const std::vector<py::ssize_t> cols = feature_columns(self.attr("features"), names);
    const std::size_t p = cols.size();
    py::list scanned;
    for (py::ssize_t c : cols) scanned.append(names[static_cast<std::size_t>(c)]);
    std::vector<Candidate> cands;
    for (std::size_t a = 0; a < p; ++a) {
        Candidate c;
        c.a = static_cast<py::ssize_t>(a);
        cands.push_back(std::move(c));
    }
    if (py::bool_(self.attr("pairs"))) {
        for (std::size_t a = 0; a < p; ++a) {
            for (std::size_t b = a + 1; b < p; ++b) {
                Candidate c;
                c.a = static_cast<py::ssize_t>(a);
                c.b = static_cast<py::ssize_t>(b);
                cands.push_back(std::move(c));
            }
        }
    }
    auto feature_list = [&](const Candidate& c) {
        py::list out;
        out.append(scanned[static_cast<std::size_t>(c.a)]);
        if (c.b >= 0) out.append(scanned[static_cast<std::size_t>(c.b)]);
        return out;
    };

    // A real FrailZone on the first pair (or the first feature) checks the arguments exactly
    // as a candidate's own fit would, and gives the metric and the weak-region limit.
    const std::size_t probe_at = cands.size() > p ? p : 0;
    py::object probe = scan_frailzone(self, feature_list(cands[probe_at]));
    py::object diag = probe.attr("diag");
    const bool additive = py::bool_(diag.attr("is_metric_additive"));
    const bool needs_proba = py::bool_(diag.attr("needs_proba"));
    const py::object scoring_func = diag.attr("scoring_func");
    const double sign = py::float_(diag.attr("score_sign")).cast<double>();
    const double limit = py::float_(diag.attr("threshold_value")).cast<double>();
    const py::object score_name = diag.attr("score_name");
    const bool fit_on_test = py::bool_(self.attr("use_test"));
    const py::object source = needs_proba ? self.attr("pred_proba") : self.attr("pred");

    // The histogram scan needs nothing more of the probe: its copy of the fitting set goes
    // before the scan makes its own.
    diag = py::none();
    if (!tree) probe = py::none();
    SetData train = read_set(self, self.attr("train_idx"), cols, source);
    SetData test_set = read_set(self, self.attr("test_idx"), cols, source);
    std::vector<double> test_max(p);
    for (std::size_t k = 0; k < p; ++k) {
        const orrin::Range rt = orrin::value_range(train.column(k), train.rows);
        const orrin::Range rs = orrin::value_range(test_set.column(k), test_set.rows);
        if (!rt.finite) raise_not_finite("train_x", scanned[k]);
        if (!rs.finite) raise_not_finite("test_x", scanned[k]);
        test_max[k] = rs.hi;
    }
    const SetData& fitting = fit_on_test ? test_set : train;
    if (additive) {
        // The per-sample scores of both splits; the metrics' callables score each sample
        // alone, so a region's scores are these at its rows.
        for (SetData* s : {&train, &test_set}) {
            s->scores = orrin_py::contiguous_float64(
                scoring_func(s->y.attr("ravel")(), s->pred.attr("ravel")()));
            if (s->scores.ndim() != 1 || static_cast<std::size_t>(s->scores.size()) != s->rows) {
                throw py::value_error("the metric's scoring callable must give one score per row.");
            }
        }
    }
    const double overall = overall_score(additive, scoring_func, test_set);
    const orrin::RowsScore train_scorer = callable_scorer(scoring_func, train);
    const orrin::RowsScore test_scorer = callable_scorer(scoring_func, test_set);

    const Progress progress(self.attr("progress"), cands.size());
    if (tree) {
        for (std::size_t i = 0; i < cands.size(); ++i) {
            from_table(cands[i],
                       i == probe_at ? probe : scan_frailzone(self, feature_list(cands[i])));
            progress.step();
        }
    } else {
        orrin::WeakRule rule;
        rule.sign = sign;
        rule.limit = limit;
        rule.min_samples = py::float_(self.attr("min_samples")).cast<double>();
        rule.additive = additive;
        const std::size_t n = fitting.rows;
        const std::size_t bins = py::int_(self.attr("bins")).cast<std::size_t>();
        const std::size_t max_bins = bins < n ? bins : n;
        const orrin::RowsScore fit_scorer = callable_scorer(scoring_func, fitting);
        orrin::FitScores fit;
        fit.scores = additive ? fitting.scores.data() : nullptr;
        fit.weights = fitting.w;
        fit.score_rows = additive ? nullptr : &fit_scorer;
        // Without the scoring callable the passes need no interpreter.
        std::unique_ptr<py::gil_scoped_release> release;
        if (additive) release = std::make_unique<py::gil_scoped_release>();
        try {
            std::vector<orrin::Histogram> hist;
            for (std::size_t k = 0; k < p; ++k) {
                hist.push_back(orrin::build_histogram(fitting.columns.data() + k * n, n, max_bins));
            }
            std::unique_ptr<orrin::FirstFeatureOrder> order;
            py::ssize_t order_of = -1;
            for (Candidate& c : cands) {
                if (c.b < 0) {
                    c.regions = orrin::single_feature_regions(hist[c.a], fit, rule);
                } else {
                    if (order_of != c.a) {
                        order.reset();
                        order = std::make_unique<orrin::FirstFeatureOrder>(hist[c.a], fit);
                        order_of = c.a;
                    }
                    c.regions =
                        order->pair_regions(fitting.columns.data() + c.b * n, 1, max_bins, rule);
                }
                const bool pair = c.b >= 0;
                const std::size_t b = pair ? static_cast<std::size_t>(c.b) : 0;
                c.train = orrin::score_regions_on_set(c.regions, pair, train.column(c.a),
                                                      train.column(b), train.rows, test_max[c.a],
                                                      additive ? train.scores.data() : nullptr,
                                                      train.w, additive ? nullptr : &train_scorer);
                c.test = orrin::score_regions_on_set(
                    c.regions, pair, test_set.column(c.a), test_set.column(b), test_set.rows,
                    test_max[c.a], additive ? test_set.scores.data() : nullptr, test_set.w,
                    additive ? nullptr : &test_scorer);
                std::vector<double> gaps(c.regions.size());
                for (std::size_t r = 0; r < gaps.size(); ++r) {
                    gaps[r] = c.test.scores[r] - c.train.scores[r];
                }
                c.order = orrin::gap_order(gaps);
                if (release) {
                    py::gil_scoped_acquire hold;
                    progress.step();
                } else {
                    progress.step();
                }
            }
        } catch (const orrin::HistogramError& e) {
            release.reset();
            throw py::value_error(e.what());
        }
    }

    // The tables: every region, then one row per candidate.
    py::object np = module_attr("np");
    py::object pd = module_attr("pd");
    py::dict columns;
    const char* region_keys[] = {"feature_1",  "feature_2",   "lb1",   "ub1",
                                 "lb2",        "ub2",         "#Test", "#Train",
                                 "test_score", "train_score", "Gap",   "contribution"};
    std::vector<py::list> region_cols(12);
    py::list f1, f2, n_regions, share, max_gap, excess, top;
    std::vector<double> excess_of(cands.size());
    for (std::size_t i = 0; i < cands.size(); ++i) {
        Candidate& c = cands[i];
        const py::object name1 = scanned[static_cast<std::size_t>(c.a)];
        const py::object name2 =
            c.b >= 0 ? py::object(scanned[static_cast<std::size_t>(c.b)]) : py::object(py::none());
        double sum = 0.0;
        double best = -std::numeric_limits<double>::infinity();
        py::object best_text = py::str("");
        std::size_t inside = 0;
        double largest_gap = kNaN;
        for (std::size_t r : c.order) {
            const double count = static_cast<double>(c.test.counts[r]);
            const double score = c.test.scores[r];
            double term = 0.0;
            if (c.test.counts[r] > 0 && !std::isnan(score)) {
                term = count / static_cast<double>(test_set.rows) * sign * (overall - score);
                sum += term;
            }
            inside += c.test.counts[r];
            const double gap = score - c.train.scores[r];
            if (!std::isnan(gap) && (std::isnan(largest_gap) || gap > largest_gap)) {
                largest_gap = gap;
            }
            const orrin::ScanRegion& g = c.regions[r];
            if (term > best) {
                best = term;
                best_text = bounds_text(name1, g.lb1, g.ub1);
                if (c.b >= 0)
                    best_text = best_text + py::str(", ") + bounds_text(name2, g.lb2, g.ub2);
            }
            const py::object values[] = {name1,
                                         name2,
                                         py::float_(g.lb1),
                                         py::float_(g.ub1),
                                         py::float_(g.lb2),
                                         py::float_(g.ub2),
                                         py::int_(c.test.counts[r]),
                                         py::int_(c.train.counts[r]),
                                         py::float_(score),
                                         py::float_(c.train.scores[r]),
                                         py::float_(gap),
                                         py::float_(term)};
            for (std::size_t k = 0; k < 12; ++k) region_cols[k].append(values[k]);
        }
        c.excess = sum;
        excess_of[i] = sum;
        f1.append(name1);
        f2.append(name2);
        n_regions.append(py::int_(c.regions.size()));
        share.append(py::float_(static_cast<double>(inside) / static_cast<double>(test_set.rows)));
        max_gap.append(py::float_(largest_gap));
        excess.append(py::float_(sum));
        top.append(best_text);
    }
    py::list lift;
    for (const Candidate& c : cands) {
        if (c.b < 0) {
            lift.append(py::float_(kNaN));
            continue;
        }
        const double ea = excess_of[static_cast<std::size_t>(c.a)];
        const double eb = excess_of[static_cast<std::size_t>(c.b)];
        lift.append(py::float_(c.excess - (eb > ea ? eb : ea)));
    }
    for (std::size_t k = 0; k < 12; ++k) columns[region_keys[k]] = region_cols[k];
    py::dict table;
    table["feature_1"] = f1;
    table["feature_2"] = f2;
    table["n_regions"] = n_regions;
    table["test_share"] = share;
    table["max_gap"] = max_gap;
    table["excess"] = excess;
    table["lift"] = lift;
    table["top_region"] = top;
    py::object results = pd.attr("DataFrame")(table);
    results =
        results.attr("sort_values")("excess", py::arg("ascending") = false,
                                    py::arg("kind") = "stable", py::arg("na_position") = "last");
    self.attr("results_") = results.attr("reset_index")(py::arg("drop") = true);
    self.attr("regions_") = pd.attr("DataFrame")(columns);
    self.attr("test_score_") = py::float_(overall);
    self.attr("score_name_") = score_name;
    self.attr("features_") = scanned;
}

py::object scan_fit(py::object self, py::object x, py::object y, py::object train_idx,
                    py::object test_idx, py::object prediction, py::object prediction_proba,
                    py::object feature_names, py::object feature_types, py::object sample_weight) {
    // A refused fit leaves the scan as its previous fit left it.
    py::dict state = self.attr("__dict__");
    py::dict saved = state.attr("copy")();
    try {
        fit_steps(self, x, y, train_idx, test_idx, prediction, prediction_proba, feature_names,
                  feature_types, sample_weight);
    } catch (...) {
        state.clear();
        state.attr("update")(saved);
        throw;
    }
    return self;
}

}  // namespace

void register_weak_region_scan(py::module_& m) {
    py::object cls = orrin_py::make_class(
        m, "WeakRegionScan", py::make_tuple(m.attr("BaseDiagnoser"), m.attr("BaseEstimator")),
        kScanDoc);
    orrin_py::def_init(
        cls, &scan_init, kInitDoc, py::arg("estimator"), py::arg("task_type") = py::none(),
        py::arg("method") = "histogram", py::arg("features") = py::none(), py::arg("pairs") = true,
        py::arg("threshold") = 1.2, py::arg("bins") = 10, py::arg("max_depth") = 2,
        py::arg("min_samples") = 20, py::arg("metric") = py::none(), py::arg("use_test") = false,
        py::arg("random_state") = 0, py::arg("progress") = false);
    orrin_py::def_method(
        cls, "fit", &scan_fit, kFitDoc, py::arg("x"), py::arg("y"), py::arg("train_idx"),
        py::arg("test_idx"), py::arg("prediction") = py::none(),
        py::arg("prediction_proba") = py::none(), py::arg("feature_names") = py::none(),
        py::arg("feature_types") = py::none(), py::arg("sample_weight") = py::none());
    orrin_py::def_method(cls, "frailzone", &scan_frailzone, kFrailZoneDoc, py::arg("features"));
    register_scan_plot(m);
}

}  // namespace scan
