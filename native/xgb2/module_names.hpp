// Access to the module-level names of `orrin.models.xgb2.xgboost` at call time, so that the
// methods use whatever the module currently binds (the services can be replaced there).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace xgb2 {

namespace py = pybind11;

inline py::object module_name(const char* name) {
    return py::module_::import("orrin.models.xgb2.xgboost").attr(name);
}

// The integer value of the attribute `name` of `self` (such as "n_features_in_"), or a
// TypeError naming the attribute.
inline py::ssize_t count_attribute(const py::object& self, const char* name) {
    py::object value = self.attr(name);
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be an integer, got " +
                             py::cast<std::string>(py::repr(value)));
    }
    const py::ssize_t count = PyLong_AsSsize_t(index);
    Py_DECREF(index);
    if (count == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return count;
}

// True when scikit-learn offers the function `sklearn.utils.validation.validate_data`
// (releases whose estimators no longer carry `_validate_data`).
inline bool has_validate_data_function() {
    return py::hasattr(py::module_::import("sklearn.utils.validation"), "validate_data");
}

}  // namespace xgb2
