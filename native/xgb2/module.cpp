// Module init of `orrin.models.xgb2.xgboost`. The module is itself named `xgboost`, so the
// open-source library is imported absolutely and the package folder is never put on sys.path.
#include <pybind11/pybind11.h>

#include "memory_functions.hpp"
#include "registry.hpp"

namespace py = pybind11;

PYBIND11_MODULE(xgboost, m) {
    py::options options;
    options.disable_function_signatures();

    m.doc() = "Interpretable depth-2 gradient-boosted trees with exact main and pairwise effects.";

    m.attr("np") = py::module_::import("numpy");
    py::module_ copy = py::module_::import("copy");
    m.attr("copy") = copy.attr("copy");
    m.attr("deepcopy") = copy.attr("deepcopy");
    py::module_ xgboost_lib = py::module_::import("xgboost");
    m.attr("XGBRegressor") = xgboost_lib.attr("XGBRegressor");
    m.attr("XGBClassifier") = xgboost_lib.attr("XGBClassifier");
    py::module_ sk_utils = py::module_::import("sklearn.utils");
    m.attr("check_array") = sk_utils.attr("check_array");
    m.attr("column_or_1d") = sk_utils.attr("column_or_1d");
    m.attr("check_is_fitted") =
        py::module_::import("sklearn.utils.validation").attr("check_is_fitted");
    m.attr("LabelBinarizer") = py::module_::import("sklearn.preprocessing").attr("LabelBinarizer");
    py::module_ sk_base = py::module_::import("sklearn.base");
    m.attr("BaseEstimator") = sk_base.attr("BaseEstimator");
    m.attr("RegressorMixin") = sk_base.attr("RegressorMixin");
    m.attr("ClassifierMixin") = sk_base.attr("ClassifierMixin");
    m.attr("is_classifier") = sk_base.attr("is_classifier");
    m.attr("XGBInterpreter") =
        py::module_::import("orrin.models.xgb2.interpret").attr("XGBInterpreter");
    m.attr("FANOVAInterpreter") =
        py::module_::import("orrin.models.interpreter").attr("FANOVAInterpreter");
    py::module_ model_utils = py::module_::import("orrin.models.utils");
    m.attr("predict_1D_func_tree") = model_utils.attr("predict_1D_func_tree");
    m.attr("predict_2D_func_tree") = model_utils.attr("predict_2D_func_tree");

    orrin_py::def_memory_functions(m);

    xgb2::register_xgb2_base(m);
    xgb2::register_xgb2_faces(m);
}
