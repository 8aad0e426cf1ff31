#include "orrin/numeric.hpp"

#include <pybind11/numpy.h>

#include "registry.hpp"

namespace core_bindings {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

void register_numeric(py::module_& m) {
    m.def(
        "average",
        [](const Array& a, const py::object& weights) -> py::object {
            if (a.ndim() != 1) throw py::value_error("a must be one-dimensional");
            const auto n = static_cast<std::size_t>(a.shape(0));
            if (n == 0) throw py::value_error("a must not be empty");
            if (weights.is_none()) return py::float_(orrin::numpy_mean(a.data(), n));
            Array w = Array::ensure(weights);
            if (!w || w.ndim() != 1 || static_cast<std::size_t>(w.shape(0)) != n)
                throw py::value_error("weights must be one-dimensional and as long as a");
            std::vector<double> products(n);
            double out = 0.0;
            if (!orrin::numpy_weighted_mean(a.data(), w.data(), n, products.data(), out))
                throw py::value_error("weights sum to zero");
            return py::float_(out);
        },
        py::arg("a"), py::arg("weights") = py::none(),
        "np.average of a float64 vector, reproduced bit for bit.");
}

}  // namespace core_bindings
