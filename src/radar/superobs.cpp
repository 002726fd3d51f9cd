// Superobservations: kernels and their bindings for kestrum._radar.
#include "radar/register.hpp"

namespace radar {

void register_superobs(pybind11::module_& m) { (void)m; }

}  // namespace radar
