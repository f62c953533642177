// The module functions that move states to and from disk: load, save,
// verify and version.
#pragma once

#include <Python.h>

namespace kyr::python {

extern PyMethodDef load_function;
extern PyMethodDef save_function;
extern PyMethodDef verify_function;
extern PyMethodDef version_function;

}  // namespace kyr::python
