#include "registry.hpp"

namespace core_bindings {

void register_effects(py::module_& m) { (void)m; }

}  // namespace core_bindings
