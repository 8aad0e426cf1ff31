#include "registry.hpp"

namespace frailzone {

void register_tree_slicing(py::module_& m) { (void)m; }

}  // namespace frailzone
