// Arrays that C++ reads as plain `const double*`.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace orrin_py {

namespace py = pybind11;

// `np.ascontiguousarray(values, dtype=float64)`, copied once more when the result is not
// aligned (numpy keeps a contiguous float64 view at an odd address as it is), so that its
// data can be read as doubles. numpy's conversion errors pass through.
inline py::array_t<double, py::array::c_style> contiguous_float64(const py::object& values) {
    py::module_ np = py::module_::import("numpy");
    py::array out = np.attr("ascontiguousarray")(values, py::arg("dtype") = np.attr("float64"));
    if ((out.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) == 0) {
        out = np.attr("array")(out);
    }
    return py::reinterpret_borrow<py::array_t<double, py::array::c_style>>(out);
}

}  // namespace orrin_py
