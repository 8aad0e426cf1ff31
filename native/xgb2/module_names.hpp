// Access to the module-level names of `orrin.models.xgb2.xgboost` at call time, so that the
// methods use whatever the module currently binds (the services can be replaced there).
#pragma once

#include <pybind11/pybind11.h>

namespace xgb2 {

namespace py = pybind11;

inline py::object module_name(const char* name) {
    return py::module_::import("orrin.models.xgb2.xgboost").attr(name);
}

// True when scikit-learn offers the function `sklearn.utils.validation.validate_data`
// (releases whose estimators no longer carry `_validate_data`).
inline bool has_validate_data_function() {
    return py::hasattr(py::module_::import("sklearn.utils.validation"), "validate_data");
}

}  // namespace xgb2

namespace xgb2 {

// Gives the class the signature of its constructor without `self`, which `inspect` cannot
// derive for a class whose `__init__` is a built-in function.
inline void set_class_signature(const py::object& cls) {
    py::object signature = py::module_::import("inspect").attr("signature")(cls.attr("__init__"));
    py::list parameters(signature.attr("parameters").attr("values")());
    parameters.attr("pop")(0);
    cls.attr("__signature__") = signature.attr("replace")(py::arg("parameters") = parameters);
}

}  // namespace xgb2
