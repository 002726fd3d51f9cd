// _ensemble: random measurement errors and ensemble statistics.
#include "runtime/binding.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_ensemble, m) {
    m.doc() = "Random measurement errors and ensemble statistics";
}
