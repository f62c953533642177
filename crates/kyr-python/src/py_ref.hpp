// Owned Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace kyr::python {

// Holds one strong reference. How it was obtained is stated at construction:
// `steal` adopts a new reference, `borrow` takes one more on a borrowed one.
class PyRef {
public:
    PyRef() noexcept = default;
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        // The old reference is dropped last: its finaliser may run Python code.
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace kyr::python
