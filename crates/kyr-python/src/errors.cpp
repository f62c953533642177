#include "errors.hpp"

namespace kyr::python {

PyObject* raise_error(const Error& error) {
    PyObject* type = PyExc_ValueError;
    switch (error.kind) {
        case ErrorKind::value:
            type = PyExc_ValueError;
            break;
        case ErrorKind::io:
            // One argument only, so the interpreter keeps the class OSError
            // itself rather than picking a subclass from an errno.
            type = PyExc_OSError;
            break;
        case ErrorKind::type:
            type = PyExc_TypeError;
            break;
        case ErrorKind::interrupted:
            // The signal handler's exception is already set.
            set_error_if_missing();
            return nullptr;
    }
    PyErr_SetString(type, error.message.c_str());
    return nullptr;
}

std::string type_qualname(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return text;
}

PyObject* raise_cannot_convert(PyObject* object, const char* target) {
    const std::string message =
        "'" + type_qualname(object) + "' object cannot be converted to '" + target + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

PyRef fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    if (value == nullptr) {
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void set_error_if_missing() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

void raise_unexpected_cpp_exception() noexcept {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in kyr");
}

}  // namespace kyr::python
