#include <pybind11/pybind11.h>

#include "registry.hpp"

PYBIND11_MODULE(_core, m) {
    m.doc() = "C++ kernels used by the orrin host services.";
    core_bindings::register_numeric(m);
    core_bindings::register_effects(m);
    core_bindings::register_effect_counts(m);
    core_bindings::register_slicing_parts(m);
}
