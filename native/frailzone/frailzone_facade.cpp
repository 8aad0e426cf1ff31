#include "registry.hpp"

namespace frailzone {

void register_frailzone(py::module_& m) { (void)m; }

}  // namespace frailzone
