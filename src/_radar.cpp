// kestrum._radar: radar volume processing (quality control, dealiasing,
// superobservations) on the shared block runner. Private to the package: the public
// functions in kestrum convert their arguments and call these.
#include <pybind11/pybind11.h>

#include "radar/register.hpp"

PYBIND11_MODULE(_radar, m) {
    m.doc() = "Radar volume processing kernels: quality control, dealiasing, superobservations "
              "(multithreaded).";
    radar::register_qc(m);
    radar::register_dealias(m);
    radar::register_superobs(m);
}
