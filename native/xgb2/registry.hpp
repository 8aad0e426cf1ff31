// Registration of the pieces of the `orrin.models.xgb2.xgboost` module.
#pragma once

#include <pybind11/pybind11.h>

namespace xgb2 {

namespace py = pybind11;

// XGB2Base: parameters, training, rule extraction, effect parsing, partial dependence
// (xgb2_base.cpp).
void register_xgb2_base(py::module_& m);
// XGB2Regressor and XGB2Classifier (xgb2_faces.cpp).
void register_xgb2_faces(py::module_& m);

}  // namespace xgb2
