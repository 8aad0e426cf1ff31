// Arrays that C++ reads as plain `const double*`, and arrays that C++ fills.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>

#include "orrin/memory.hpp"

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

// A one-dimensional array of the n values at p, a block from orrin::block_alloc (or null
// for none) that the array then owns: it goes back to the core's reuse cache when the array
// dies, so large results reuse memory that is already backed instead of fresh pages the
// kernel must zero.
template <typename T>
py::array_t<T> adopt_block(T* p, std::size_t n) {
    orrin::ScratchArray<T> hold(p != nullptr ? p : orrin::scratch_array<T>(1).release());
    T* data = hold.get();
    py::capsule owner(data, [](void* q) { orrin::block_free(q); });
    hold.release();
    return py::array_t<T>(static_cast<py::ssize_t>(n), data, owner);
}

// A new one-dimensional array of n values for C++ to fill, as adopt_block.
template <typename T>
py::array_t<T> block_array(std::size_t n) {
    return adopt_block(orrin::scratch_array<T>(n).release(), n);
}

}  // namespace orrin_py
