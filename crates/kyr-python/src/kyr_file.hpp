// The KyrFile class: one QuantumState per Python object.
#pragma once

#include <Python.h>

#include <new>

#include "core/quantum_state.hpp"

namespace kyr::python {

struct KyrFileObject {
    PyObject_HEAD
    Py_ssize_t borrow_counter;
    QuantumState state;  // constructed in place after tp_alloc
};

inline KyrFileObject* as_kyr_file(PyObject* object) noexcept {
    return reinterpret_cast<KyrFileObject*>(object);
}

// The process-wide KyrFile class; nullptr with an exception set on failure.
PyTypeObject* kyr_file_type();

// A new KyrFile owning `state`; nullptr with an exception set on failure, in
// which case `state` is released with the caller's variable.
PyObject* wrap_state(QuantumState&& state);

// Converts argument `name` to a KyrFile instance (TypeError naming 'KyrFile').
PyObject* to_kyr_file(PyObject* object);

}  // namespace kyr::python
