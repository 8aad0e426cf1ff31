// FrailZone.plot_marginal: draws the weak regions of a marginal result record over the
// distribution of its one or two slice features. The drawing data (score curve, histogram
// bars and their weak share, the region map) come from the C++ core; matplotlib only draws.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "array_args.hpp"
#include "arrays.hpp"
#include "dask_input.hpp"
#include "orrin/histogram.hpp"
#include "orrin/marginal_plot.hpp"
#include "pyclass.hpp"
#include "registry.hpp"

namespace frailzone {

namespace {

using namespace pybind11::literals;
using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Largest grids drawn: the curve holds two doubles per point and the map grid x grid cells,
// and beyond these sizes memory, not the figure, would give out.
constexpr std::size_t kMaxCurveGrid = std::size_t{1} << 24;
constexpr std::size_t kMaxMapGrid = std::size_t{1} << 14;

constexpr const char* kLightBars = "#c0dbec";
constexpr const char* kDarkBars = "#69a5cf";

constexpr const char* kPlotMarginalDoc =
    "plot_marginal(diagnose_result, grid=1000, scaler=None, figsize=(6, 6))\n--\n\n"
    "Plot marginal frailzone.\n"
    "\n"
    "With one slice feature: the region score as a step curve over the feature's range, the\n"
    "threshold as a dashed line and the number of each weak region, above the feature's\n"
    "histogram (for an additive metric split into the share of samples on either side of the\n"
    "threshold). With two slice features: a map of the weak regions over both features with\n"
    "each feature's histogram along its axis.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "diagnose_result : TestDataResult\n"
    "    The record returned by ``FrailZone.get_marginal()``.\n"
    "grid : int, default=1000\n"
    "    Number of evaluation points per feature (at least 2).\n"
    "scaler : object, default=None\n"
    "    Feature scaler passed to the tick-scaling service, so that ticks show original units.\n"
    "figsize : tuple, default=(6, 6)\n"
    "    Figure size in inches.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "matplotlib.figure.Figure\n"
    "    The figure, after it was shown.\n"
    "\n"
    "Raises\n"
    "------\n"
    "OrrinInfo\n"
    "    When the record holds no weak region.\n";

py::module_ host_module() { return py::module_::import("orrin.diagnoser.frailzone"); }

[[noreturn]] void raise_info(const char* message) {
    py::object info = host_module().attr("OrrinInfo");
    PyErr_SetObject(info.ptr(), py::str(message).ptr());
    throw py::error_already_set();
}

std::size_t checked_grid(const py::object& grid) {
    if (PyBool_Check(grid.ptr()) || !PyIndex_Check(grid.ptr())) {
        throw py::type_error("grid must be an integer, got " +
                             std::string(py::str(py::type::of(grid).attr("__name__"))) + ".");
    }
    PyObject* index = PyNumber_Index(grid.ptr());
    if (index == nullptr) throw py::error_already_set();
    const py::int_ value(py::reinterpret_steal<py::object>(index));
    if (value < py::int_(2)) {
        throw py::value_error("grid must be at least 2, got " + std::string(py::str(value)) + ".");
    }
    const auto n = PyLong_AsSsize_t(value.ptr());
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::value_error("grid is too large.");
    }
    return static_cast<std::size_t>(n);
}

std::size_t checked_bins(const py::object& bins) {
    if (PyBool_Check(bins.ptr()) || !PyIndex_Check(bins.ptr())) {
        throw py::type_error("the record's \"bins\" must be an integer.");
    }
    const auto n = PyLong_AsSsize_t(py::int_(bins).ptr());
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::value_error("the record's \"bins\" is too large.");
    }
    if (n < 1) throw py::value_error("the record's \"bins\" must be at least 1.");
    return static_cast<std::size_t>(n);
}

// A numeric array as contiguous float64, with the slicing methods' checks; `what` names it
// in the error.
Array float64_array(const py::object& values, const std::string& what) {
    return Array::ensure(as_float64(as_ndarray(values, what.c_str()), what.c_str()));
}

// A float64 column for the kernels: read in place from the caller's array when its layout
// allows, else from a contiguous copy. `owner` keeps the memory alive.
struct Column {
    py::object owner;
    orrin::ColumnView view{nullptr, 1};
    std::size_t size = 0;
};

// Element stride of an aligned float64 array along `axis`, or 0 when it cannot be read in
// place (unaligned, byte-swapped, negative or odd strides).
std::size_t in_place_stride(const py::object& values, py::ssize_t axis) {
    if (!py::isinstance<py::array_t<double>>(values)) return 0;
    const auto arr = py::reinterpret_borrow<py::array>(values);
    if ((arr.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) == 0) return 0;
    for (py::ssize_t a = 0; a < arr.ndim(); ++a) {
        const py::ssize_t st = arr.strides(a);
        if (st % static_cast<py::ssize_t>(sizeof(double)) != 0) return 0;
        if (a == axis && st <= 0) return 0;
    }
    return static_cast<std::size_t>(arr.strides(axis)) / sizeof(double);
}

Column copied_column(Array arr) {
    Column c;
    c.view = {arr.data(), 1};
    c.size = static_cast<std::size_t>(arr.size());
    c.owner = std::move(arr);
    return c;
}

// Column `f` of the record's "x" (a two-dimensional array) as float64 and non-empty; the
// caller checks that it is finite.
Column slice_column(const py::object& x, const py::object& f, const py::object& name) {
    const std::string what = "x column " + std::string(py::str(name));
    const std::size_t stride = in_place_stride(x, 0);
    if (stride != 0 && !PyBool_Check(f.ptr()) && PyIndex_Check(f.ptr())) {
        const auto arr = py::reinterpret_borrow<py::array>(x);
        py::ssize_t j = PyNumber_AsSsize_t(f.ptr(), nullptr);
        if (j == -1 && PyErr_Occurred()) PyErr_Clear();
        if (j < 0) j += arr.shape(1);
        if (0 <= j && j < arr.shape(1)) {
            if (arr.shape(0) == 0) throw py::value_error("x has no rows.");
            Column c;
            c.view = {reinterpret_cast<const double*>(static_cast<const char*>(arr.data()) +
                                                      j * arr.strides(1)),
                      stride};
            c.size = static_cast<std::size_t>(arr.shape(0));
            c.owner = x;
            return c;
        }
    }
    // Anything else goes through numpy's indexing and conversion (and their errors).
    py::object col = x[py::make_tuple(py::slice(py::none(), py::none(), py::none()), f)];
    Array out = float64_array(col, what);
    if (out.ndim() != 1) throw py::value_error(what + " must be a single column.");
    if (out.size() == 0) throw py::value_error("x has no rows.");
    return copied_column(std::move(out));
}

// The slice columns scanned for the histogram panels (ranges and provisional cells) in one
// pass; refuses a column with NaN or infinity.
orrin::ColumnScan scan_slices(const std::vector<Column>& cols,
                              const std::vector<py::object>& names) {
    std::vector<orrin::ColumnView> views;
    for (const Column& c : cols) views.push_back(c.view);
    orrin::ColumnScan scan;
    {
        py::gil_scoped_release release;
        const std::size_t n = cols.front().size;
        std::vector<orrin::CellScale> scales;
        for (const orrin::ColumnView& v : views) scales.push_back(orrin::sample_scale(v, n));
        scan = orrin::scan_columns(views.data(), scales.data(), views.size(), n);
    }
    for (std::size_t c = 0; c < scan.ranges.size(); ++c) {
        if (!scan.ranges[c].finite) {
            throw py::value_error("x column " + std::string(py::str(names[c])) +
                                  " holds NaN or infinite values.");
        }
    }
    return scan;
}

py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// The entry `key` of the record; a missing one is a KeyError naming it.
py::object entry(const py::dict& rec, const char* key) {
    if (!rec.contains(key)) {
        throw py::key_error("diagnose_result.value has no entry \"" + std::string(key) +
                            "\"; plot_marginal draws the record of FrailZone.get_marginal().");
    }
    return rec[key];
}

// `obj[key]` of a nested record described by `where`; a missing key (or an object that
// holds none) is a KeyError naming both.
py::object field(const py::handle& obj, const py::handle& key, const std::string& where) {
    try {
        return obj[key];
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_LookupError) && !e.matches(PyExc_TypeError)) throw;
        throw py::key_error(where + " has no key " + std::string(py::repr(key)) + ".");
    }
}
py::object field(const py::handle& obj, const char* key, const std::string& where) {
    return field(obj, py::str(key), where);
}

// A real number of the record, described by `what` in the error.
double number(const py::handle& v, const std::string& what) {
    if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || v.is_none()) {
        throw py::type_error(what + " must be a real number, got " + std::string(py::repr(v)) +
                             ".");
    }
    const double out = PyFloat_AsDouble(v.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw py::type_error(what + " must be a real number, got " + std::string(py::repr(v)) +
                             ".");
    }
    return out;
}

// The list entry `key` of the record (weak_region_stats, rule_list).
py::list list_entry(const py::dict& rec, const char* key) {
    const py::object value = entry(rec, key);
    if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) {
        throw py::type_error("diagnose_result.value[\"" + std::string(key) +
                             "\"] must be a list, got " + std::string(py::repr(value)) + ".");
    }
    return py::list(value);
}

// The name of slice feature k: "feature_names"[fidx[k]].
py::object feature_name(const py::dict& rec, const py::list& fidx, std::size_t k) {
    const py::object names = entry(rec, "feature_names");
    try {
        return names[fidx[k]];
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_LookupError) && !e.matches(PyExc_TypeError)) throw;
        throw py::index_error("fidx[" + std::to_string(k) + "] = " +
                              std::string(py::repr(fidx[k])) + " is no position in feature_names.");
    }
}

// Python's min(a, b) and max(a, b): the first argument unless the second compares smaller
// (larger), so a NaN second argument is ignored.
double py_min(double a, double b) { return b < a ? b : a; }
double py_max(double a, double b) { return b > a ? b : a; }

// The scores behind the weak condition sign * score <= sign * threshold.
struct WeakScores {
    Column scores;
    orrin::WeakRule rule;
};

WeakScores weak_scores(const py::dict& rec, std::size_t rows) {
    py::object values = host_module().attr("np").attr("asarray")(entry(rec, "scores"));
    const std::size_t stride = in_place_stride(values, 0);
    WeakScores weak;
    if (stride != 0 && py::reinterpret_borrow<py::array>(values).ndim() == 1) {
        const auto arr = py::reinterpret_borrow<py::array>(values);
        weak.scores.view = {static_cast<const double*>(arr.data()), stride};
        weak.scores.size = static_cast<std::size_t>(arr.shape(0));
        weak.scores.owner = values;
    } else {
        weak.scores = copied_column(float64_array(values, "scores"));
    }
    if (weak.scores.size != rows) {
        throw py::value_error("scores must hold one value per row of x (" + std::to_string(rows) +
                              "), got " + std::to_string(weak.scores.size) + ".");
    }
    const double sign = number(entry(rec, "_sign"), "_sign");
    weak.rule = {weak.scores.view, sign,
                 sign * number(entry(rec, "threshold_value"), "threshold_value")};
    return weak;
}

struct PanelBars {
    py::object light;
    py::object dark;  // None without the weak-share overlay
};

// Histogram panels of the slice columns (with the weak share for an additive metric) and,
// with `regions`, the region map, counted from the scan without the GIL.
orrin::MarginalData compute_panels(const py::dict& rec, const std::vector<Column>& cols,
                                   const orrin::ColumnScan& scan, bool additive, std::size_t grid,
                                   const std::vector<orrin::RegionBox>* regions, double* image) {
    const std::size_t rows = cols.front().size;
    std::optional<WeakScores> weak;
    if (additive) weak = weak_scores(rec, rows);
    const std::size_t bins = checked_bins(entry(rec, "bins"));
    std::vector<orrin::ColumnView> views;
    for (const Column& c : cols) views.push_back(c.view);
    py::gil_scoped_release release;
    return orrin::marginal_data(views.data(), scan, rows, bins, weak ? &weak->rule : nullptr, grid,
                                regions, image);
}

// Draws a histogram panel on `ax` as vertical bars, or horizontal ones (`horizontal`), and
// over them the weak-share bars when the panel has them.
PanelBars draw_panel(const py::object& ax, const orrin::HistogramPanel& panel, bool horizontal) {
    const std::vector<double>& c = panel.centres;
    const double width = c.size() >= 2 ? c[1] - c[0] : 0.8;
    const char* draw = horizontal ? "barh" : "bar";
    const char* size_kw = horizontal ? "height" : "width";
    PanelBars bars;
    py::dict style("color"_a = kLightBars, "edgecolor"_a = "black");
    style[size_kw] = width;
    bars.light = ax.attr(draw)(to_array(c), to_array(panel.density), **style);
    bars.dark = py::none();
    if (!panel.weak_share.empty()) {
        std::vector<double> share(panel.density.size());
        for (std::size_t b = 0; b < share.size(); ++b)
            share[b] = panel.density[b] * panel.weak_share[b];
        py::dict dark_style("color"_a = kDarkBars, "edgecolor"_a = "black");
        dark_style[size_kw] = width;
        bars.dark = ax.attr(draw)(to_array(c), to_array(share), **dark_style);
    }
    return bars;
}

void scale_ticks(const py::object& scaler, const py::object& ax, const py::object& feature,
                 int axis) {
    if (scaler.is_none()) return;
    host_module().attr("scale_plot_ticks")("ax"_a = ax, "feature"_a = feature, "scaler"_a = scaler,
                                           "axis"_a = axis);
}

// A new pyplot figure that is closed again unless the drawing finishes (keep()): a failure
// part-way leaves no half-drawn figure open in pyplot's state.
class OpenFigure {
  public:
    OpenFigure(const py::object& plt, const py::object& figsize)
        : plt_(plt), fig_(plt.attr("figure")("figsize"_a = figsize)) {}
    ~OpenFigure() {
        if (kept_) return;
        // Runs while an error unwinds: whatever Python error is pending survives the close.
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        PyObject* res = PyObject_CallMethod(plt_.ptr(), "close", "O", fig_.ptr());
        if (res == nullptr) {
            PyErr_Clear();
        } else {
            Py_DECREF(res);
        }
        PyErr_Restore(type, value, trace);
    }
    OpenFigure(const OpenFigure&) = delete;
    OpenFigure& operator=(const OpenFigure&) = delete;
    const py::object& get() const { return fig_; }
    py::object keep() {
        kept_ = true;
        return fig_;
    }

  private:
    py::object plt_;
    py::object fig_;
    bool kept_ = false;
};

py::object cell(const py::object& gs, int row, int col) { return gs[py::make_tuple(row, col)]; }

py::object plot_one_feature(const py::dict& rec, const py::object& figsize, const py::object& x,
                            const py::list& fidx, std::size_t grid, const py::object& scaler) {
    py::module_ host = host_module();
    py::object plt = host.attr("plt");
    const py::object feature0 = feature_name(rec, fidx, 0);
    const std::vector<Column> cols{slice_column(x, fidx[0], feature0)};
    const orrin::ColumnScan scan = scan_slices(cols, {feature0});
    const std::vector<orrin::Range>& ranges = scan.ranges;
    const double threshold = number(entry(rec, "threshold_value"), "threshold_value");

    if (entry(rec, "rule_list").is_none())
        throw py::type_error("rule_list must be a list of region rules, got None.");
    const py::list rule_list = list_entry(rec, "rule_list");
    std::vector<orrin::CurveRule> rules;
    for (std::size_t i = 0; i < rule_list.size(); ++i) {
        const std::string where = "rule_list[" + std::to_string(i) + "]";
        const py::object f0 =
            field(field(rule_list[i], "splits", where), "f0", where + "[\"splits\"]");
        const std::string bounds = where + "[\"splits\"][\"f0\"]";
        rules.push_back({number(field(f0, "lb", bounds), bounds + "[\"lb\"]"),
                         number(field(f0, "ub", bounds), bounds + "[\"ub\"]"),
                         number(field(rule_list[i], "values", where), where + "[\"values\"]")});
    }
    const bool additive = py::bool_(entry(rec, "is_metric_additive"));
    const orrin::HistogramPanel panel0 =
        std::move(compute_panels(rec, cols, scan, additive, 0, nullptr, nullptr).panels.front());

    const double xmin = ranges[0].lo;
    const double xmax = ranges[0].hi;
    double ymin = 0.0, ymax = 0.0;
    orrin::ScoreCurve curve;
    {
        py::gil_scoped_release release;
        curve = orrin::score_curve(xmin, xmax, grid, rules);
        orrin::nan_min_max(curve.y, ymin, ymax);
    }

    // Region numbers sit just above each region's score, a little left of its middle.
    const std::string prefix = py::bool_(entry(rec, "use_test")) ? "test_" : "train_";
    const py::str score_key(prefix + std::string(py::str(entry(rec, "score_name"))));
    const double rise = 0.02 * (ymax - ymin);
    const double xspan = xmax - xmin;
    std::vector<py::tuple> labels;
    const py::list stats = list_entry(rec, "weak_region_stats");
    for (std::size_t i = 0; i < stats.size(); ++i) {
        const std::string where = "weak_region_stats[" + std::to_string(i) + "]";
        const double lb1 = number(field(stats[i], "lb1", where), where + "[\"lb1\"]");
        const double ub1 = number(field(stats[i], "ub1", where), where + "[\"ub1\"]");
        const double locx = lb1 + 0.55 * (ub1 - lb1) - 0.01 * xspan;
        const double locy = number(field(stats[i], score_key, where),
                                   where + "[" + std::string(py::repr(score_key)) + "]") +
                            rise;
        labels.push_back(py::make_tuple(locx, locy));
    }

    OpenFigure figure(plt, figsize);
    const py::object& fig = figure.get();
    py::object gs = fig.attr("add_gridspec")(2, 1, "wspace"_a = 0.1, "hspace"_a = 0.1,
                                             "height_ratios"_a = py::make_tuple(2, 1));
    py::object ax_main = fig.attr("add_subplot")(cell(gs, 0, 0));
    ax_main.attr("plot")(to_array(curve.x), to_array(curve.y), "color"_a = "black",
                         "linewidth"_a = 1);
    ax_main.attr("axhline")(threshold, "linestyle"_a = "--", "linewidth"_a = 0.5,
                            "color"_a = "red");
    ax_main.attr("set_xticklabels")(py::list());
    ax_main.attr("set_ylabel")(entry(rec, "score_name"));
    ax_main.attr("set_title")("Weak Regions", "fontsize"_a = 15);
    ax_main.attr("yaxis").attr("label").attr("set_color")("black");

    const double ylim_min = py_min(threshold, ymin);
    const double ylim_max = py_max(threshold, ymax);
    const double ylim_absmax = py_max(std::fabs(ylim_min), std::fabs(ylim_max));
    const double span = ylim_max - ylim_min;
    const double pad = ylim_absmax < 0.001 ? 0.1 * ylim_absmax : 0.001;
    ax_main.attr("set_ylim")(ylim_min - 0.15 * span - pad, ylim_max + 0.15 * span + pad);
    ax_main.attr("set_xlim")(xmin, xmax);

    for (std::size_t idx = 0; idx < labels.size(); ++idx) {
        ax_main.attr("annotate")(std::to_string(idx), labels[idx], "color"_a = "red");
    }

    py::object ax_bottom = fig.attr("add_subplot")(cell(gs, 1, 0));
    const PanelBars bars = draw_panel(ax_bottom, panel0, false);
    if (additive) {
        const bool lower_is_better = py::int_(-1).equal(entry(rec, "_sign"));
        py::list labels;
        labels.append(lower_is_better ? "Below threshold" : "Above threshold");
        labels.append(lower_is_better ? "Above threshold" : "Below threshold");
        ax_bottom.attr("legend")(py::make_tuple(bars.light, bars.dark), labels, "fontsize"_a = 8);
    }
    ax_bottom.attr("set_xlabel")(feature0);
    ax_bottom.attr("set_xlim")(xmin, xmax);
    ax_bottom.attr("set_ylabel")("Density");
    scale_ticks(scaler, ax_bottom, feature0, 0);
    fig.attr("add_subplot")(ax_bottom);
    gs.attr("tight_layout")(fig);
    plt.attr("show")();
    return figure.keep();
}

py::object plot_two_features(const py::dict& rec, const py::object& figsize, const py::object& x,
                             const py::list& fidx, std::size_t grid, const py::object& scaler) {
    py::module_ host = host_module();
    py::object plt = host.attr("plt");
    const py::object feature0 = feature_name(rec, fidx, 0);
    const py::object feature1 = feature_name(rec, fidx, 1);
    const std::vector<Column> cols{slice_column(x, fidx[0], feature0),
                                   slice_column(x, fidx[1], feature1)};
    const orrin::ColumnScan scan = scan_slices(cols, {feature0, feature1});
    const std::vector<orrin::Range>& ranges = scan.ranges;

    std::vector<orrin::RegionBox> regions;
    const py::list stats = list_entry(rec, "weak_region_stats");
    for (std::size_t i = 0; i < stats.size(); ++i) {
        const std::string where = "weak_region_stats[" + std::to_string(i) + "]";
        double b[4];
        const char* keys[4] = {"lb1", "ub1", "lb2", "ub2"};
        for (int k = 0; k < 4; ++k) {
            b[k] = number(field(stats[i], keys[k], where), where + "[\"" + keys[k] + "\"]");
        }
        regions.push_back({b[0], b[1], b[2], b[3]});
    }
    const bool additive = py::bool_(entry(rec, "is_metric_additive"));
    // The map is written straight into the array the image shows (numpy's allocation).
    const auto g = static_cast<py::ssize_t>(grid);
    py::array_t<double> img({g, g});
    const orrin::MarginalData data =
        compute_panels(rec, cols, scan, additive, grid, &regions, img.mutable_data());
    const orrin::HistogramPanel& panel0 = data.panels[0];
    const orrin::HistogramPanel& panel1 = data.panels[1];
    const double min1 = ranges[0].lo, max1 = ranges[0].hi;
    const double min2 = ranges[1].lo, max2 = ranges[1].hi;
    OpenFigure figure(plt, figsize);
    const py::object& fig = figure.get();
    py::list axis_extent;
    for (double v : {min1, max1, min2, max2}) axis_extent.append(v);

    py::object gs = fig.attr("add_gridspec")(2, 2, "wspace"_a = 0.1, "hspace"_a = 0.1,
                                             "height_ratios"_a = py::make_tuple(6, 1),
                                             "width_ratios"_a = py::make_tuple(1, 6));
    py::object ax_main = fig.attr("add_subplot")(cell(gs, 0, 1));
    for (const orrin::RegionLabel& label : data.labels) {
        ax_main.attr("annotate")(std::to_string(label.region),
                                 py::make_tuple(label.locx, label.locy),
                                 "xycoords"_a = "axes fraction", "color"_a = "black");
    }

    py::list colours;
    colours.append(py::make_tuple(1, 1, 1));
    py::object dark2 = plt.attr("get_cmap")("Dark2").attr("colors");
    for (int i = 0; i < 5; ++i) colours.append(dark2[py::int_(i)]);
    py::object cmap = host.attr("LinearSegmentedColormap")
                          .attr("from_list")("Dark2withWhite", colours, "N"_a = 6, "gamma"_a = 1);

    ax_main.attr("imshow")(img, "interpolation"_a = "nearest", "vmin"_a = -1, "vmax"_a = 5,
                           "aspect"_a = "auto", "extent"_a = axis_extent, "cmap"_a = cmap);
    ax_main.attr("set_xticklabels")(py::list());
    ax_main.attr("set_yticklabels")(py::list());
    ax_main.attr("set_title")("Weak Regions", "fontsize"_a = 15);
    fig.attr("add_subplot")(ax_main);

    py::object ax_bottom = fig.attr("add_subplot")(cell(gs, 1, 1));
    draw_panel(ax_bottom, panel0, false);
    ax_bottom.attr("set_xlim")(min1, max1);
    ax_bottom.attr("set_xlabel")(feature0);
    ax_bottom.attr("set_yticklabels")(py::list());
    scale_ticks(scaler, ax_bottom, feature0, 0);
    ax_bottom.attr("autoscale")("tight"_a = true);
    fig.attr("add_subplot")(ax_bottom);

    py::object ax_left = fig.attr("add_subplot")(cell(gs, 0, 0));
    draw_panel(ax_left, panel1, true);
    ax_left.attr("set_xticklabels")(py::list());
    ax_left.attr("set_ylim")(min2, max2);
    ax_left.attr("set_ylabel")(feature1);
    scale_ticks(scaler, ax_left, feature1, 1);
    ax_left.attr("autoscale")("tight"_a = true);
    fig.attr("add_subplot")(ax_left);

    gs.attr("tight_layout")(fig);
    plt.attr("show")();
    return figure.keep();
}

py::object plot_marginal(const py::object& diagnose_result, const py::object& grid_arg,
                         const py::object& scaler, const py::object& figsize) {
    const std::size_t grid = checked_grid(grid_arg);
    py::object value = diagnose_result.attr("value");
    if (py::isinstance<py::dict>(value) && value.contains("x") &&
        orrin_py::is_dask_collection(value["x"])) {
        value = orrin_py::dask_shell("frailzone", "marginal_value")(value);
    }
    if (!py::isinstance<py::dict>(value)) {
        throw py::type_error(
            "diagnose_result.value must be a dict, as FrailZone.get_marginal() gives.");
    }
    const py::dict rec = py::reinterpret_borrow<py::dict>(value);
    if (list_entry(rec, "weak_region_stats").size() == 0) raise_info("No weak regions detected.");

    py::module_ host = host_module();
    const py::object fidx_entry = entry(rec, "fidx");
    if (!py::isinstance<py::iterable>(fidx_entry) || py::isinstance<py::str>(fidx_entry)) {
        throw py::type_error("fidx must list one or two column positions, got " +
                             std::string(py::repr(fidx_entry)) + ".");
    }
    const py::list fidx(fidx_entry);
    if (py::len(fidx) == 0) throw py::value_error("fidx must hold one or two column positions.");
    for (py::handle f : fidx) {
        if (PyBool_Check(f.ptr()) || !PyIndex_Check(f.ptr())) {
            throw py::type_error("fidx must hold integer column positions, got " +
                                 std::string(py::repr(f)) + ".");
        }
    }
    const py::object x = host.attr("np").attr("asarray")(entry(rec, "x"));
    if (x.attr("ndim").cast<int>() != 2)
        throw py::value_error("x must be a two-dimensional array.");

    const std::size_t max_grid = py::len(fidx) == 1 ? kMaxCurveGrid : kMaxMapGrid;
    if (grid > max_grid) {
        throw py::value_error("grid must be at most " + std::to_string(max_grid) + " with " +
                              std::to_string(py::len(fidx) == 1 ? 1 : 2) +
                              " slice feature(s), got " + std::to_string(grid) + ".");
    }
    if (py::len(fidx) == 1) return plot_one_feature(rec, figsize, x, fidx, grid, scaler);
    return plot_two_features(rec, figsize, x, fidx, grid, scaler);
}

}  // namespace

void register_plot_marginal(py::module_& m) {
    py::object cls = m.attr("FrailZone");
    orrin_py::def_static(cls, "plot_marginal", &plot_marginal, kPlotMarginalDoc,
                         py::arg("diagnose_result"), py::arg("grid") = 1000,
                         py::arg("scaler") = py::none(), py::arg("figsize") = py::make_tuple(6, 6));
}

}  // namespace frailzone
