#include "registry.hpp"

namespace frailzone {

void register_histogram_slicing(py::module_& m) { (void)m; }

}  // namespace frailzone
