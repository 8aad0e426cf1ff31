#include "registry.hpp"

namespace frailzone {

void register_slicing_fit(py::module_& m) { (void)m; }

}  // namespace frailzone
