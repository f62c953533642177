// Exchange of amplitudes with NumPy float64 arrays.
//
// numpy_bridge.cpp is the only file that includes NumPy's headers; NumPy's
// array API is fetched on first use, so `import kyr` never imports NumPy.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>

namespace kyr::python {

// A one-dimensional native float64 array, readable for the current call only
// (it is the caller's argument, borrowed). Its data may be unaligned.
struct Float64Input {
    const std::byte* data;
    std::size_t length;
    bool contiguous;
};

// Accepts an ndarray (or subtype) of one dimension whose element type is
// equivalent to native float64; otherwise TypeError "'{type}' object cannot be
// converted to 'PyArray<T, D>'" (wrap the call in argument() to name it).
// Contiguity is reported, not checked. ImportError "Failed to access NumPy
// array API capsule: ..." when NumPy cannot be reached.
std::optional<Float64Input> accept_float64_array(PyObject* object);

// A one-dimensional array of exactly type ndarray (no subclass) with native
// byte order, at any stride (the real and imag views of a complex array are
// strided). Borrowed like Float64Input.
struct StridedVector {
    const std::byte* data;  // element 0, possibly unaligned
    std::size_t length;
    std::ptrdiff_t stride;  // bytes from one element to the next; may be 0 or negative
};

enum class VectorElement { float64, complex128 };

// The layout of `object` when it is such an array of `element`s, otherwise
// nullopt with no error set. Reading its elements runs no Python code. NumPy
// is not imported for an object that is not an ndarray.
std::optional<StridedVector> exact_vector(PyObject* object, VectorElement element);

// A new writeable, C-contiguous float64 array owning a copy of `values`.
PyObject* new_float64_array(std::span<const double> values);

// KyrFile members, placed in the class tables by kyr_file.cpp.
extern const char kyr_file_amplitudes_doc[];
extern const char kyr_file_amplitudes_real_doc[];
extern const char kyr_file_amplitudes_imag_doc[];
extern const char kyr_file_set_amplitudes_doc[];
PyObject* kyr_file_amplitudes(PyObject* self, void*);
PyObject* kyr_file_amplitudes_real(PyObject* self, void*);
PyObject* kyr_file_amplitudes_imag(PyObject* self, void*);
PyObject* kyr_file_set_amplitudes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// Module functions from_numpy and from_arrays.
extern PyMethodDef from_numpy_function;
extern PyMethodDef from_arrays_function;

}  // namespace kyr::python
