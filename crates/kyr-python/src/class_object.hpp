// Process-wide class objects of the module.
#pragma once

#include <Python.h>

namespace kyr::python {

// Returns the class made from `spec`, creating it on the first call and
// keeping it for the rest of the process. `fill`, when given, adds class
// attributes right after creation. Returns nullptr with an exception set.
PyTypeObject* class_object(PyObject*& cache, PyType_Spec& spec,
                           bool (*fill)(PyTypeObject*) = nullptr);

// tp_new of a class without a constructor:
// TypeError "No constructor defined for {name}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Releases an instance of a heap type that owns no Python references.
void release_instance(PyObject* self) noexcept;

}  // namespace kyr::python
