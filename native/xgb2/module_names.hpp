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
