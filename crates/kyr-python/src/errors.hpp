// The boundary between C++ and the interpreter's exceptions.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <type_traits>

#include "core/error.hpp"
#include "py_ref.hpp"

namespace kyr::python {

// Raises the exception for a core error (value -> ValueError, io -> OSError,
// type -> TypeError; an interrupted operation keeps the exception its signal
// handler raised) and returns nullptr.
PyObject* raise_error(const Error& error);

// Raises TypeError "'{type}' object cannot be converted to '{target}'".
PyObject* raise_cannot_convert(PyObject* object, const char* target);

// The qualified name of an object's type, or a stand-in if it cannot be read.
std::string type_qualname(PyObject* object);

// Takes the pending exception out of the interpreter, normalised.
PyRef fetch_exception() noexcept;
// Makes `exception` the pending exception again.
void restore_exception(PyRef exception) noexcept;

void set_error_if_missing() noexcept;
void raise_unexpected_cpp_exception() noexcept;

// Runs the body of an entry point so that no C++ exception reaches the
// interpreter: std::bad_alloc becomes MemoryError, anything else SystemError.
// A failure result (nullptr, or -1 for slots returning int) always leaves an
// exception set.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    static_assert(std::is_pointer_v<Result> || std::is_same_v<Result, int>);
    constexpr Result failure = [] {
        if constexpr (std::is_pointer_v<Result>) {
            return Result{nullptr};
        } else {
            return -1;
        }
    }();
    try {
        Result result = body();
        if (result == failure) {
            set_error_if_missing();
        }
        return result;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        raise_unexpected_cpp_exception();
    }
    return failure;
}

}  // namespace kyr::python
