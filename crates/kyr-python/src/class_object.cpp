#include "class_object.hpp"

#include "errors.hpp"
#include "py_ref.hpp"

namespace kyr::python {

PyTypeObject* class_object(PyObject*& cache, PyType_Spec& spec, bool (*fill)(PyTypeObject*)) {
    if (cache != nullptr) {
        return reinterpret_cast<PyTypeObject*>(cache);
    }
    PyRef created = PyRef::steal(PyType_FromSpec(&spec));
    if (!created) {
        return nullptr;
    }
    if (fill != nullptr && !fill(reinterpret_cast<PyTypeObject*>(created.get()))) {
        return nullptr;
    }
    // If creating ran Python code that created the class meanwhile, the first
    // one stored stays in use.
    if (cache == nullptr) {
        cache = created.release();
    }
    return reinterpret_cast<PyTypeObject*>(cache);
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef name = PyRef::steal(PyType_GetName(type));
        if (!name) {
            return nullptr;
        }
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
        return nullptr;
    });
}

void release_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their class
}

}  // namespace kyr::python
