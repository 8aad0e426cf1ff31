#include "registry.hpp"

namespace xgb2 {

void register_xgb2_base(py::module_& m) { (void)m; }

}  // namespace xgb2
