// Binding helpers shared by the three extension modules: array argument types, the
// checks every binding makes, and result allocation.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "runtime/blocks.hpp"

namespace runtime {

namespace py = pybind11;

// Array arguments arrive C-contiguous in the declared element type; pybind11 copies
// only when the caller's array has another type or layout.
constexpr int array_flags = py::array::c_style | py::array::forcecast;
using f64 = py::array_t<double, array_flags>;
using f32 = py::array_t<float, array_flags>;
using i64 = py::array_t<int64_t, array_flags>;

// Argument checks throw std::invalid_argument, which Python sees as ValueError.
inline void require(bool ok, const char* message) {
    if (!ok) throw std::invalid_argument(message);
}

// Length of the first axis; a 0-dimensional array raises IndexError from pybind11.
template <class T>
int64_t rows(const py::array_t<T, array_flags>& a) {
    return static_cast<int64_t>(a.shape(0));
}

// A new C-contiguous result array, left uninitialised for the kernel to fill.
template <class T>
py::array_t<T> new_array(std::initializer_list<py::ssize_t> shape) {
    return py::array_t<T>(std::vector<py::ssize_t>(shape));
}

// The text form of the runner for the writers: renders blocks of 2048 items into their
// own texts with the interpreter lock released, then joins them in block order straight
// into one bytes object. The new object is filled without the lock too: nobody else
// can see it before it is returned. An allocation failure anywhere is a MemoryError.
template <class Text, class Body>
py::bytes run_blocks(int64_t n, int32_t n_threads, Body&& body) {
    std::vector<Text> texts;
    {
        py::gil_scoped_release release;
        texts = render_blocks<Text>(n, n_threads, body);
    }
    const size_t total = total_size(texts);
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(total));
    if (raw == nullptr) throw py::error_already_set();
    auto result = py::reinterpret_steal<py::bytes>(raw);
    {
        py::gil_scoped_release release;
        join_blocks(texts, PyBytes_AS_STRING(raw), n_threads);
    }
    return result;
}

}  // namespace runtime
