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
#include "runtime/import_guard.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

// The same without the demand for C order: a view in any layout (a transposed sweep, a
// slice with steps) arrives as it is, for a kernel that walks its strides, which are
// whole elements since the buffer is aligned.
constexpr int strided_flags =
    static_cast<int>(py::array::forcecast) | py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// An array argument. Its converter (below) reads a masked array's masked elements as
// missing: NaN for floating types; integer types have no missing value, so a masked
// integer array is refused, naming the argument.
template <class T, arg_name Name = "", int Flags = array_flags>
class array : public py::array_t<T, Flags> {
public:
    using base = py::array_t<T, Flags>;
    array() = default;
    array(base a) : base(std::move(a)) {}
};

using f64 = array<double>;
using f64_strided = array<double, "", strided_flags>;
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

// The text form of the runner, for the writers: n items rendered as text, in blocks of
// 2048 items handed out by the runner, straight into one bytes object.
//
// A text of hundreds of megabytes is written once into fresh memory, and on this scale
// taking the memory page by page (a fault per 4 KB) costs as much as rendering the
// digits. Asking the kernel for huge pages on the result, as NumPy does for its large
// arrays, makes it one fault per 2 MB. Only a hint: nothing changes where it is refused.
inline void prefer_huge_pages(char* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t huge = uintptr_t{2} << 20;
    if (bytes < 2 * huge) return;
    const auto start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (start + huge - 1) & ~(huge - 1);
    const uintptr_t last = (start + bytes) & ~(huge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Renders n items straight into the result where it can. `nominal(begin, end)` is the
// length of the text of items begin .. end-1 when no field is wider than its width
// (the usual case), which fixes where each block's text goes. Blocks of 2048 items are
// taken by the threads as usual; a block is rendered `piece` items at a time into one
// small text, which stays in cache and is reused, and each piece is copied to its place
// in the result. So the text is written to fresh memory once, instead of into block
// texts that are then copied again. A block with an over-wide field is rendered whole
// into a text of its own, and only then is the result rebuilt from the blocks at their
// true offsets. render(begin, end, text) appends the text of items begin .. end-1.
template <class Text, class Nominal, class Render>
py::bytes run_blocks(int64_t n, int64_t piece, int32_t n_threads, Nominal&& nominal,
                     Render&& render) {
    const int64_t blocks = (n + text_block - 1) / text_block;
    auto block_end = [&](int64_t b) { return std::min(n, (b + 1) * text_block); };
    std::vector<size_t> at(static_cast<size_t>(blocks) + 1, 0);  // nominal block offsets
    for (int64_t b = 0; b < blocks; ++b)
        at[static_cast<size_t>(b) + 1] =
            at[static_cast<size_t>(b)] + nominal(b * text_block, block_end(b));
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(at.back()));
    if (raw == nullptr) throw py::error_already_set();
    auto result = py::reinterpret_steal<py::bytes>(raw);
    char* out = PyBytes_AS_STRING(raw);
    prefer_huge_pages(out, at.back());
    std::vector<Text> odd(static_cast<size_t>(blocks));  // whole texts of irregular blocks
    std::vector<unsigned char> is_odd(static_cast<size_t>(blocks), 0);
    {
        release_gil release;
        for_blocks(n, text_block, n_threads, [&](int64_t begin, int64_t end) {
            const auto b = static_cast<size_t>(begin / text_block);
            Text scratch;  // one piece's text, taken from the heap
            scratch.reserve(nominal(begin, std::min(begin + piece, end)) + 4096);
            char* to = out + at[b];
            for (int64_t i = begin; i < end; i += piece) {
                const int64_t stop = std::min(i + piece, end);
                scratch.clear();
                render(i, stop, scratch);
                if (scratch.size() != nominal(i, stop)) {
                    odd[b].reserve(at[b + 1] - at[b] + scratch.size());
                    render(begin, end, odd[b]);
                    is_odd[b] = 1;
                    return;
                }
                std::memcpy(to, scratch.data(), scratch.size());
                to += scratch.size();
            }
        });
    }
    if (std::find(is_odd.begin(), is_odd.end(), 1) == is_odd.end()) return result;

    // Some blocks are longer than nominal: lay every block at its true offset.
    std::vector<size_t> offset(static_cast<size_t>(blocks) + 1, 0);
    for (size_t k = 0; k < static_cast<size_t>(blocks); ++k)
        offset[k + 1] = offset[k] + (is_odd[k] ? odd[k].size() : at[k + 1] - at[k]);
    PyObject* whole = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(offset.back()));
    if (whole == nullptr) throw py::error_already_set();
    auto joined = py::reinterpret_steal<py::bytes>(whole);
    char* dest = PyBytes_AS_STRING(whole);
    prefer_huge_pages(dest, offset.back());
    {
        release_gil release;
        parallel_blocks(blocks, 1, n_threads, [&](int64_t b) {
            const auto k = static_cast<size_t>(b);
            const char* from = is_odd[k] ? odd[k].data() : out + at[k];
            const size_t bytes = offset[k + 1] - offset[k];
            if (bytes != 0) std::memcpy(dest + offset[k], from, bytes);
            odd[k] = Text();
        });
    }
    return joined;
}

}  // namespace runtime

namespace pybind11::detail {

// The converter of runtime::array: masked arrays first (runtime::unmask), then NumPy's
// conversion with the flags above. The signature shows the plain array-like it accepts.
template <class T, runtime::arg_name Name, int Flags>
struct pyobject_caster<runtime::array<T, Name, Flags>> {
    using type = runtime::array<T, Name, Flags>;
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
