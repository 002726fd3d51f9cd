// Velocity dealiasing: kernels and their bindings for kestrum._radar.
#include "radar/register.hpp"

namespace radar {

void register_dealias(pybind11::module_& m) { (void)m; }

}  // namespace radar
