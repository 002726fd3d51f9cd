// _tavolin: threaded text formatter of the WRFDA and DART observation writers.
#include "runtime/binding.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_tavolin, m) {
    m.doc() = "Threaded text formatter of the WRFDA and DART observation writers";
}
