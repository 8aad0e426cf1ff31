#include <pybind11/pybind11.h>

#include "memory_functions.hpp"
#include "registry.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "C++ kernels used by the orrin host services.";
    core_bindings::register_numeric(m);
    core_bindings::register_effects(m);
    core_bindings::register_effect_counts(m);
    core_bindings::register_slicing_parts(m);
    orrin_py::def_memory_functions(m);
}
