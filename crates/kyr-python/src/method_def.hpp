// Helpers for the method tables of functions, methods and classes.
#pragma once

#include <Python.h>

namespace kyr::python {

// Calling convention of everything that takes arguments.
inline constexpr int fastcall_with_keywords = METH_FASTCALL | METH_KEYWORDS;

// Stores any C entry point in a PyMethodDef; the flags tell the interpreter
// the real signature.
template <class Function>
PyCFunction as_cfunction(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace kyr::python
