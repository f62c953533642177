// The Encoding enumeration: names of the chunk conversion strategies.
#pragma once

#include <Python.h>

namespace kyr::python {

// The process-wide Encoding class with its five members; nullptr with an
// exception set on failure.
PyTypeObject* encoding_type();

// Checks that `object` is an Encoding member (TypeError naming 'Encoding').
PyObject* to_encoding(PyObject* object);

}  // namespace kyr::python
