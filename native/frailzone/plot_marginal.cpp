#include "registry.hpp"

namespace frailzone {

void register_plot_marginal(py::module_& m) { (void)m; }

}  // namespace frailzone
