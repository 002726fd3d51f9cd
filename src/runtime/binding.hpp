// Binding helpers shared by the three extension modules: array argument types, the
// checks every binding makes, result allocation, and the release of the interpreter
// lock around a run.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/blocks.hpp"

namespace runtime {

namespace py = pybind11;

// Array arguments arrive C-contiguous, aligned and in the declared element type; NumPy
// copies only when the caller's array has another type, layout or alignment. Kernels
// read the data through typed pointers, which an unaligned buffer must never reach.
constexpr int array_flags =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// An argument's name known at compile time, so that the converter can name the
// argument it refuses.
template <size_t N>
struct arg_name {
    char text[N];
    constexpr arg_name(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// An array argument. Its converter (below) reads a masked array's masked elements as
// missing: NaN for floating types; integer types have no missing value, so a masked
// integer array is refused, naming the argument.
template <class T, arg_name Name = "">
class array : public py::array_t<T, array_flags> {
public:
    using base = py::array_t<T, array_flags>;
    array() = default;
    array(base a) : base(std::move(a)) {}
};

using f64 = array<double>;
using f32 = array<float>;
template <arg_name Name>
using i64 = array<int64_t, Name>;

// numpy.ma's MaskedArray type and is_masked function, looked up once numpy.ma has been
// imported by someone: until then nothing can be a masked array, and importing it
// ourselves would cost more than many calls. The references are kept for the life of
// the process (numpy.ma is never unloaded).
struct masked_api {
    PyObject* type = nullptr;
    PyObject* is_masked = nullptr;
};

inline const masked_api& numpy_ma() {
    static masked_api api;  // read and written with the interpreter lock held
    if (api.type != nullptr) return api;
    PyObject* module = PyImport_GetModule(py::str("numpy.ma").ptr());
    if (module == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return api;
    }
    api.is_masked = PyObject_GetAttrString(module, "is_masked");
    api.type = PyObject_GetAttrString(module, "MaskedArray");
    Py_DECREF(module);
    if (api.type == nullptr || api.is_masked == nullptr) throw py::error_already_set();
    return api;
}

// A numpy.ma.MaskedArray becomes what the kernels can read: its data itself when no
// element is masked, a copy with the masked elements set to NaN for floating types.
// Anything else is returned unchanged for the array converter.
template <class T, arg_name Name>
py::object unmask(py::handle src) {
    auto object = py::reinterpret_borrow<py::object>(src);
    if (Py_TYPE(src.ptr()) == py::detail::npy_api::get().PyArray_Type_) return object;
    const masked_api& ma = numpy_ma();
    if (ma.type == nullptr || !py::isinstance(src, py::handle(ma.type))) return object;
    if (!py::handle(ma.is_masked)(src).template cast<bool>()) return object.attr("data");
    if constexpr (std::is_integral_v<T>) {
        throw std::invalid_argument(std::string(Name.text) +
                                    " is a masked integer array: fill the masked elements first");
    } else {
        return object.attr("astype")(py::dtype::of<T>())
            .attr("filled")(std::numeric_limits<T>::quiet_NaN());
    }
}

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

// Ctrl-C during a run: Python's own signal handler only notes the signal, and acts on it
// when the interpreter next runs. The runner's calling thread asks here between its
// blocks; a KeyboardInterrupt (or whatever a Python signal handler raised) becomes the
// run's failure, so the threads stop, are joined, and the caller sees the exception.
inline std::exception_ptr python_interrupt() {
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() == 0) return nullptr;
    return std::make_exception_ptr(py::error_already_set());
}

// Python acts on signals in the main thread only, so the runner asks on that thread
// and on no other: elsewhere the question would only contend for the lock.
inline bool on_main_thread() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<unsigned long> main_ident;
    const unsigned long main = main_ident
        .call_once_and_store_result([] {
            return py::module_::import("threading").attr("main_thread")().attr("ident")
                .cast<unsigned long>();
        })
        .get_stored();
    return PyThread_get_thread_ident() == main;
}

// Releases the interpreter lock for a run, as pybind11's gil_scoped_release does, and
// lets the runs made meanwhile on this thread watch for Ctrl-C.
class release_gil {
public:
    release_gil() : poll_(on_main_thread() ? &python_interrupt : nullptr) {
        std::swap(interrupt_poll, poll_);
    }
    ~release_gil() { interrupt_poll = poll_; }
    release_gil(const release_gil&) = delete;
    release_gil& operator=(const release_gil&) = delete;

private:
    interrupt_check poll_;
    py::gil_scoped_release release_;
};

// The text form of the runner for the writers: renders blocks of 2048 items into their
// own texts with the interpreter lock released, then joins them in block order straight
// into one bytes object. The new object is filled without the lock too: nobody else
// can see it before it is returned. An allocation failure anywhere is a MemoryError.
template <class Text, class Body>
py::bytes run_blocks(int64_t n, int32_t n_threads, Body&& body) {
    std::vector<Text> texts;
    {
        release_gil release;
        texts = render_blocks<Text>(n, n_threads, body);
    }
    const size_t total = total_size(texts);
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(total));
    if (raw == nullptr) throw py::error_already_set();
    auto result = py::reinterpret_steal<py::bytes>(raw);
    {
        release_gil release;
        join_blocks(texts, PyBytes_AS_STRING(raw), n_threads);
    }
    return result;
}

}  // namespace runtime

namespace pybind11::detail {

// The converter of runtime::array: masked arrays first (runtime::unmask), then NumPy's
// conversion with the flags above. The signature shows the plain array-like it accepts.
template <class T, runtime::arg_name Name>
struct pyobject_caster<runtime::array<T, Name>> {
    using type = runtime::array<T, Name>;
    using plain = typename type::base;

    bool load(handle src, bool convert) {
        object data;
        try {
            data = runtime::unmask<T, Name>(src);
        } catch (error_already_set&) {
            return false;  // not convertible, like any other argument NumPy cannot read
        }
        make_caster<plain> caster;
        if (!caster.load(data, convert)) return false;
        value = type(cast_op<plain&&>(std::move(caster)));
        return true;
    }

    static handle cast(const handle& src, return_value_policy, handle) { return src.inc_ref(); }

    PYBIND11_TYPE_CASTER(type, handle_type_name<plain>::name);
};

}  // namespace pybind11::detail
