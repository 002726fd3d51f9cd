// The radar volume module (`kestrum._radar`) is built from one source file per part:
// gate quality control, velocity dealiasing and superobservations. Each part owns its
// kernels and bindings and adds its functions to the module here.
#pragma once

#include <pybind11/pybind11.h>

#include "runtime/import_guard.hpp"

namespace radar {

void register_qc(pybind11::module_& m);
void register_dealias(pybind11::module_& m);
void register_superobs(pybind11::module_& m);

}  // namespace radar
