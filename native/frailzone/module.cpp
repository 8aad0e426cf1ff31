// Module init of `orrin.diagnoser.frailzone`: binds the libraries and package services the
// diagnoser uses, in a fixed order, then creates its classes.
#include <pybind11/pybind11.h>

#include "memory_functions.hpp"
#include "registry.hpp"

namespace py = pybind11;

PYBIND11_MODULE(frailzone, m) {
    py::options options;
    options.disable_function_signatures();

    m.doc() =
        "Weak-region diagnoser: finds the regions of one or two features where a model "
        "performs markedly worse than on the data as a whole.";

    py::module_ scipy = py::module_::import("scipy");
    py::module_::import("scipy.stats");
    m.attr("scipy") = scipy;
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("copy") = py::module_::import("copy").attr("copy");
    m.attr("plt") = py::module_::import("matplotlib.pylab");
    m.attr("LinearSegmentedColormap") =
        py::module_::import("matplotlib.colors").attr("LinearSegmentedColormap");
    m.attr("DecisionTreeRegressor") =
        py::module_::import("sklearn.tree").attr("DecisionTreeRegressor");
    m.attr("BaseDiagnoser") = py::module_::import("orrin.diagnoser.base").attr("BaseDiagnoser");
    py::module_ utils = py::module_::import("orrin.diagnoser.utils");
    m.attr("get_scoring_metric") = utils.attr("get_scoring_metric");
    m.attr("calculate_distance") = utils.attr("calculate_distance");
    m.attr("TestDataResult") = py::module_::import("orrin.utils").attr("TestDataResult");
    m.attr("scale_plot_ticks") = py::module_::import("orrin.plots").attr("scale_plot_ticks");
    py::module_ exceptions = py::module_::import("orrin.exceptions");
    m.attr("OrrinWarning") = exceptions.attr("OrrinWarning");
    m.attr("OrrinInfo") = exceptions.attr("OrrinInfo");
    m.attr("OrrinError") = exceptions.attr("OrrinError");

    // The built-in methods that the fit checks a strategy for, filled as the classes are made.
    m.attr("_builtin_methods") = py::dict();
    orrin_py::def_memory_functions(m);

    frailzone::register_base_slicing(m);
    frailzone::register_slicing_fit(m);
    frailzone::register_histogram_slicing(m);
    frailzone::register_tree_slicing(m);
    frailzone::register_frailzone(m);
    frailzone::register_distribution_shift(m);
    frailzone::register_plot_marginal(m);
}
