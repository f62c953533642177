// The real and imaginary parts of a flattened statevector, read for
// from_qiskit into the arrays the new state keeps.
//
// Parts are read as Python sequences of floats, item by item in iteration
// order. An exact float64 ndarray (the strided real/imag views of a complex
// array) is read from memory instead: iterating it would run no Python code
// and give scalars holding the same bits, so the result is the same without
// one Python object per item.
#pragma once

#include <Python.h>

#include <optional>

#include "core/amplitude_buffer.hpp"
#include "numpy_bridge.hpp"

namespace kyr::python {

// Reads the parts of `flat` (borrowed; the caller keeps it alive): first the
// real parts with read_real, then the imaginary parts with read_imag. Each
// fails with the part's Python error set: TypeError "Can't extract `str` to
// `Vec`" for a str, "'{type}' object cannot be converted to 'Sequence'" for
// a non-sequence, or the error of iterating or of converting an item.
class StatevectorPartsReader {
public:
    explicit StatevectorPartsReader(PyObject* flat) noexcept : flat_(flat) {}

    std::optional<AmplitudeBuffer> read_real(PyObject* real);
    std::optional<AmplitudeBuffer> read_imag(PyObject* imag);

private:
    // Both parts of `flat`, read in one pass when it is a complex128 array.
    struct ComplexParts {
        StridedVector array;
        AmplitudeBuffer real;
        AmplitudeBuffer imag;
    };

    PyObject* flat_;
    std::optional<ComplexParts> read_ahead_;
};

}  // namespace kyr::python
