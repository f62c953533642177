#include "numpy_bridge.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

// Single translation unit using the array API: the table pointer stays a
// static of this file and is filled in by load_array_api() below.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "arguments.hpp"
#include "borrow.hpp"
#include "errors.hpp"
#include "kyr_file.hpp"
#include "method_def.hpp"
#include "py_ref.hpp"

namespace kyr::python {
namespace {

// ----- the array API ---------------------------------------------------------

// Fetches the table from the `_ARRAY_API` capsule (NumPy 2 keeps it in
// numpy._core, NumPy 1 in numpy.core) and checks that this build can use it.
bool load_array_api() {
    PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        module = PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
    }
    if (!module) {
        return false;
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) {
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
        return false;
    }
    PyArray_API = static_cast<void**>(table);
    if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
        PyErr_Format(PyExc_RuntimeError, "NumPy ABI version 0x%x is newer than 0x%x",
                     static_cast<unsigned>(PyArray_GetNDArrayCVersion()),
                     static_cast<unsigned>(NPY_VERSION));
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError, "NumPy C API version 0x%x is older than 0x%x",
                     PyArray_RUNTIME_VERSION, static_cast<int>(NPY_FEATURE_VERSION));
        return false;
    }
    return true;
}

// Loads the table on first use and keeps it for the process. A failure
// raises ImportError chained to the original error; the next call retries.
bool ensure_array_api() {
    if (PyArray_API != nullptr) {
        return true;
    }
    if (load_array_api()) {
        return true;
    }
    PyArray_API = nullptr;
    set_error_if_missing();
    PyRef cause = fetch_exception();
    PyErr_Format(PyExc_ImportError, "Failed to access NumPy array API capsule: %S", cause.get());
    PyRef error = fetch_exception();
    if (error) {
        PyException_SetCause(error.get(), cause.release());
    }
    restore_exception(std::move(error));
    return false;
}

PyObject* raise_not_contiguous() {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return nullptr;
}

PyObject* raise_not_power_of_two() {
    PyErr_SetString(PyExc_ValueError, "Number of amplitudes must be a power of 2");
    return nullptr;
}

// A fresh C-contiguous float64 array of `length` elements from NumPy's
// allocator; `data` receives its (aligned) element storage.
PyObject* new_uninitialized_array(std::size_t length, double*& data) {
    if (!ensure_array_api()) {
        return nullptr;
    }
    npy_intp dims[1] = {static_cast<npy_intp>(length)};
    PyObject* array = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
    if (array != nullptr) {
        data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    }
    return array;
}

// ----- copy kernels ----------------------------------------------------------
// Plain loops written so that GCC vectorises them at -O3; every value is
// moved, never computed, so the bits are those of the source.

double load_double(const std::byte* bytes) noexcept {
    double value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// re0, im0, re1, im1, ... at any alignment into two arrays.
void deinterleave(const std::byte* __restrict pairs, double* __restrict real,
                  double* __restrict imag, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        real[i] = load_double(pairs + 16 * i);
        imag[i] = load_double(pairs + 16 * i + 8);
    }
}

void interleave(const double* __restrict real, const double* __restrict imag,
                double* __restrict pairs, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        pairs[2 * i] = real[i];
        pairs[2 * i + 1] = imag[i];
    }
}

AmplitudeBuffer copy_of(const Float64Input& input) {
    AmplitudeBuffer buffer = AmplitudeBuffer::uninitialized(input.length);
    if (input.length != 0) {
        std::memcpy(buffer.data(), input.data, input.length * sizeof(double));
    }
    return buffer;
}

struct RealAndImag {
    Float64Input real;
    Float64Input imag;
};

// Accepts `real`, then `imag`, then checks that both are contiguous: every
// type error comes before any contiguity error.
std::optional<RealAndImag> accept_real_and_imag(PyObject* real_object, PyObject* imag_object) {
    const auto real = argument("real", accept_float64_array(real_object));
    if (!real) {
        return std::nullopt;
    }
    const auto imag = argument("imag", accept_float64_array(imag_object));
    if (!imag) {
        return std::nullopt;
    }
    if (!real->contiguous || !imag->contiguous) {
        raise_not_contiguous();
        return std::nullopt;
    }
    return RealAndImag{*real, *imag};
}

// ----- KyrFile members -------------------------------------------------------

// Runs `copy` on the state of `self` under a shared borrow.
template <class Copy>
PyObject* copy_out(PyObject* self, Copy&& copy) {
    return guarded([&]() -> PyObject* {
        const auto borrow = Borrow::shared(as_kyr_file(self)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        return copy(std::as_const(as_kyr_file(self)->state));
    });
}

const Parameters set_amplitudes_parameters{"KyrFile.set_amplitudes()", {"real", "imag"}, 2};

// ----- module functions ------------------------------------------------------

constexpr const char from_numpy_doc[] =
    "from_numpy(amplitudes)\n--\n\n"
    "Create a KYR file from a NumPy array.\n\n"
    "Parameters\n----------\n"
    "amplitudes : numpy.ndarray\n"
    "    Complex amplitudes as interleaved real/imag pairs\n"
    "    Shape should be (2 * 2^n,) where n is number of qubits\n\n"
    "Returns\n-------\n"
    "KyrFile\n    New quantum state";
const Parameters from_numpy_parameters{"from_numpy()", {"amplitudes"}, 1};

PyObject* from_numpy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(from_numpy_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto input = argument("amplitudes", accept_float64_array(bound[0]));
        if (!input) {
            return nullptr;
        }
        if (!input->contiguous) {
            return raise_not_contiguous();
        }
        if (input->length % 2 != 0) {
            PyErr_SetString(PyExc_ValueError, "Array length must be even (interleaved real/imag)");
            return nullptr;
        }
        const std::size_t count = input->length / 2;
        if (!std::has_single_bit(count)) {
            return raise_not_power_of_two();
        }
        AmplitudeBuffer real = AmplitudeBuffer::uninitialized(count);
        AmplitudeBuffer imag = AmplitudeBuffer::uninitialized(count);
        deinterleave(input->data, real.data(), imag.data(), count);
        return wrap_state(QuantumState::from_parts(static_cast<std::uint64_t>(std::countr_zero(count)),
                                                   std::move(real), std::move(imag)));
    });
}

constexpr const char from_arrays_doc[] =
    "from_arrays(real, imag)\n--\n\n"
    "Create a KYR file from separate real and imaginary arrays.\n\n"
    "Parameters\n----------\n"
    "real : numpy.ndarray\n    Real parts of amplitudes\n"
    "imag : numpy.ndarray\n    Imaginary parts of amplitudes\n\n"
    "Returns\n-------\n"
    "KyrFile\n    New quantum state";
const Parameters from_arrays_parameters{"from_arrays()", {"real", "imag"}, 2};

PyObject* from_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};
        if (!bind_arguments(from_arrays_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto arrays = accept_real_and_imag(bound[0], bound[1]);
        if (!arrays) {
            return nullptr;
        }
        const auto& [real, imag] = *arrays;
        if (real.length != imag.length) {
            PyErr_SetString(PyExc_ValueError, "Arrays must have same length");
            return nullptr;
        }
        if (!std::has_single_bit(real.length)) {
            return raise_not_power_of_two();
        }
        const auto num_qubits = static_cast<std::uint64_t>(std::countr_zero(real.length));
        AmplitudeBuffer real_copy = copy_of(real);
        AmplitudeBuffer imag_copy = copy_of(imag);
        return wrap_state(
            QuantumState::from_parts(num_qubits, std::move(real_copy), std::move(imag_copy)));
    });
}

}  // namespace

std::optional<Float64Input> accept_float64_array(PyObject* object) {
    if (!ensure_array_api()) {
        return std::nullopt;
    }
    if (!PyArray_Check(object)) {
        raise_cannot_convert(object, "PyArray<T, D>");
        return std::nullopt;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) {
        raise_cannot_convert(object, "PyArray<T, D>");
        return std::nullopt;
    }
    // DescrFromType returns a new reference to a builtin descriptor.
    PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!float64) {
        return std::nullopt;
    }
    if (!PyArray_EquivTypes(PyArray_DESCR(array),
                            reinterpret_cast<PyArray_Descr*>(float64.get()))) {
        raise_cannot_convert(object, "PyArray<T, D>");
        return std::nullopt;
    }
    return Float64Input{
        static_cast<const std::byte*>(PyArray_DATA(array)),
        static_cast<std::size_t>(PyArray_DIM(array, 0)),
        PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array),
    };
}

std::optional<StridedVector> exact_vector(PyObject* object, VectorElement element) {
    // A name test first, so other objects never cause NumPy to be loaded.
    if (std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") != 0) {
        return std::nullopt;
    }
    if (!ensure_array_api()) {
        PyErr_Clear();  // the caller reads the object another way
        return std::nullopt;
    }
    if (!PyArray_CheckExact(object)) {
        return std::nullopt;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const int type = element == VectorElement::float64 ? NPY_DOUBLE : NPY_CDOUBLE;
    if (PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != type || !PyArray_ISNOTSWAPPED(array)) {
        return std::nullopt;
    }
    return StridedVector{
        static_cast<const std::byte*>(PyArray_DATA(array)),
        static_cast<std::size_t>(PyArray_DIM(array, 0)),
        static_cast<std::ptrdiff_t>(PyArray_STRIDE(array, 0)),
    };
}

PyObject* new_float64_array(std::span<const double> values) {
    double* data = nullptr;
    PyObject* array = new_uninitialized_array(values.size(), data);
    if (array != nullptr && !values.empty()) {
        std::memcpy(data, values.data(), values.size_bytes());
    }
    return array;
}

extern const char kyr_file_amplitudes_doc[] =
    "Get the state amplitudes as a complex NumPy array.\n\n"
    "Returns\n-------\n"
    "numpy.ndarray\n    Complex128 array of shape (2^num_qubits,)";
extern const char kyr_file_amplitudes_real_doc[] = "Get the real parts of amplitudes.";
extern const char kyr_file_amplitudes_imag_doc[] = "Get the imaginary parts of amplitudes.";
extern const char kyr_file_set_amplitudes_doc[] =
    "set_amplitudes($self, real, imag)\n--\n\n"
    "Set amplitudes from separate real and imaginary arrays.";

PyObject* kyr_file_amplitudes(PyObject* self, void*) {
    return copy_out(self, [](const QuantumState& state) -> PyObject* {
        const std::size_t count = std::min(state.real().size(), state.imag().size());
        double* pairs = nullptr;
        PyObject* array = new_uninitialized_array(2 * count, pairs);
        if (array != nullptr) {
            interleave(state.real().data(), state.imag().data(), pairs, count);
        }
        return array;
    });
}

PyObject* kyr_file_amplitudes_real(PyObject* self, void*) {
    return copy_out(self, [](const QuantumState& state) { return new_float64_array(state.real()); });
}

PyObject* kyr_file_amplitudes_imag(PyObject* self, void*) {
    return copy_out(self, [](const QuantumState& state) { return new_float64_array(state.imag()); });
}

PyObject* kyr_file_set_amplitudes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};
        if (!bind_arguments(set_amplitudes_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::exclusive(as_kyr_file(self)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        const auto arrays = accept_real_and_imag(bound[0], bound[1]);
        if (!arrays) {
            return nullptr;
        }
        const auto& [real, imag] = *arrays;
        QuantumState& state = as_kyr_file(self)->state;
        const std::uint64_t dimension = state.dimension();
        if (real.length != dimension || imag.length != dimension) {
            PyErr_Format(PyExc_ValueError, "Expected %llu amplitudes, got %zu real and %zu imag",
                         static_cast<unsigned long long>(dimension), real.length, imag.length);
            return nullptr;
        }
        AmplitudeBuffer real_copy = copy_of(real);
        AmplitudeBuffer imag_copy = copy_of(imag);
        state.replace_amplitudes(std::move(real_copy), std::move(imag_copy));
        Py_RETURN_NONE;
    });
}

PyMethodDef from_numpy_function = {"from_numpy", as_cfunction(from_numpy), fastcall_with_keywords,
                                   from_numpy_doc};
PyMethodDef from_arrays_function = {"from_arrays", as_cfunction(from_arrays),
                                    fastcall_with_keywords, from_arrays_doc};

}  // namespace kyr::python
