#include "registry.hpp"

namespace frailzone {

void register_distribution_shift(py::module_& m) { (void)m; }

}  // namespace frailzone
