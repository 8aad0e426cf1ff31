// WeakRegionScan.plot: the pairs' excess as a features x features heatmap (the single
// features' excess on the diagonal) beside a bar chart of the top candidates.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "pyclass.hpp"
#include "registry.hpp"

namespace scan {

namespace {

constexpr const char* kPlotDoc =
    "plot(self, top=20)\n--\n\n"
    "Draw the scan.\n"
    "\n"
    "Left, a heatmap of the excess of every pair (features x features, symmetric), the\n"
    "single features' excess on the diagonal and cells without a candidate blank; right, the\n"
    "`top` candidates with the largest excess as bars, labelled with their features, each\n"
    "bar carrying the bounds of the region that adds most. Label sizes shrink with the\n"
    "number of features so that 50 stay readable.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "top : int, default=20\n"
    "    Number of bars.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "matplotlib.figure.Figure\n";

py::object scan_plot(py::object self, py::object top) {
    const py::object results = self.attr("results_");
    const py::list features(self.attr("features_"));
    const py::ssize_t k_top = py::int_(top).cast<py::ssize_t>();
    if (k_top < 1)
        throw py::value_error("top must be a positive integer, got " + std::to_string(k_top) + ".");
    const std::size_t p = features.size();
    py::module_ np = py::module_::import("numpy");
    py::module_ plt = py::module_::import("matplotlib.pyplot");

    py::array_t<double> grid({static_cast<py::ssize_t>(p), static_cast<py::ssize_t>(p)});
    auto g = grid.mutable_unchecked<2>();
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < p; ++j) g(i, j) = std::numeric_limits<double>::quiet_NaN();
    }
    auto position = [&](const py::handle& name) -> py::ssize_t {
        for (std::size_t i = 0; i < p; ++i) {
            if (py::object(features[i]).equal(name)) return static_cast<py::ssize_t>(i);
        }
        throw py::value_error("results_ names " + std::string(py::repr(name)) +
                              ", which is not among the scanned features_.");
    };
    const py::list first(results["feature_1"].attr("tolist")());
    // A single feature's second name is missing (None, or NaN once pandas has held it).
    const py::list single(results["feature_2"].attr("isna")().attr("tolist")());
    py::list second(results["feature_2"].attr("tolist")());
    for (std::size_t r = 0; r < second.size(); ++r) {
        if (py::bool_(single[r])) second[r] = py::none();
    }
    const py::list excess(results["excess"].attr("tolist")());
    const py::list regions(results["top_region"].attr("tolist")());
    for (std::size_t r = 0; r < first.size(); ++r) {
        const py::ssize_t a = position(first[r]);
        const py::ssize_t b = second[r].is_none() ? a : position(second[r]);
        const double e = excess[r].cast<double>();
        g(a, b) = e;
        g(b, a) = e;
    }

    const double size = std::max(6.0, std::min(16.0, 4.0 + 0.24 * static_cast<double>(p)));
    const double tick = std::max(4.0, std::min(10.0, 300.0 / std::max<double>(p, 1.0)));
    py::object fig = plt.attr("figure")(py::arg("figsize") = py::make_tuple(2.0 * size, size));
    py::object gs = fig.attr("add_gridspec")(1, 2, py::arg("width_ratios") = py::make_tuple(1, 1),
                                             py::arg("wspace") = 0.35);
    py::object heat = fig.attr("add_subplot")(gs[py::int_(0)]);
    py::object bars = fig.attr("add_subplot")(gs[py::int_(1)]);

    py::object cmap = py::module_::import("matplotlib")
                          .attr("colormaps")["viridis"]
                          .attr("with_extremes")(py::arg("bad") = "white");
    py::object masked = np.attr("ma").attr("masked_invalid")(grid);
    py::object image =
        heat.attr("imshow")(masked, py::arg("cmap") = cmap, py::arg("interpolation") = "nearest",
                            py::arg("aspect") = "equal");
    fig.attr("colorbar")(image, py::arg("ax") = heat, py::arg("fraction") = 0.046,
                         py::arg("pad") = 0.04, py::arg("label") = "excess");
    py::object ticks = np.attr("arange")(p);
    heat.attr("set_xticks")(ticks);
    heat.attr("set_yticks")(ticks);
    heat.attr("set_xticklabels")(features, py::arg("rotation") = 90, py::arg("fontsize") = tick);
    heat.attr("set_yticklabels")(features, py::arg("fontsize") = tick);
    heat.attr("set_title")("excess of features (diagonal) and pairs");

    const std::size_t shown = std::min<std::size_t>(static_cast<std::size_t>(k_top), first.size());
    const double bar_font = std::max(5.0, std::min(9.0, 180.0 / std::max<double>(shown, 1.0)));
    py::list labels;
    py::list heights;
    for (std::size_t r = 0; r < shown; ++r) {
        py::str name = py::str(first[r]);
        if (!second[r].is_none()) name = py::str("{} x {}").format(first[r], second[r]);
        labels.append(name);
        heights.append(excess[r]);
    }
    py::object y = np.attr("arange")(shown);
    bars.attr("barh")(y, heights, py::arg("color") = "tab:red", py::arg("alpha") = 0.55);
    bars.attr("set_yticks")(y);
    bars.attr("set_yticklabels")(labels, py::arg("fontsize") = bar_font);
    // The bounds of each bar's top region, written over the bar from the left edge.
    py::object where =
        py::module_::import("matplotlib.transforms")
            .attr("blended_transform_factory")(bars.attr("transAxes"), bars.attr("transData"));
    for (std::size_t r = 0; r < shown; ++r) {
        bars.attr("text")(0.01, r, regions[r], py::arg("transform") = where,
                          py::arg("va") = "center", py::arg("ha") = "left",
                          py::arg("fontsize") = bar_font * 0.9);
    }
    bars.attr("invert_yaxis")();
    bars.attr("set_xlabel")("excess");
    bars.attr("set_title")(py::str("top {} candidates and their top regions").format(shown));
    return fig;
}

}  // namespace

void register_scan_plot(py::module_& m) {
    py::object cls = m.attr("WeakRegionScan");
    orrin_py::def_method(cls, "plot", &scan_plot, kPlotDoc, py::arg("top") = 20);
}

}  // namespace scan
