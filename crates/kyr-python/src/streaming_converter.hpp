// The StreamingConverter class: chunked conversion of a large input.
#pragma once

#include <Python.h>

namespace kyr::python {

// The process-wide StreamingConverter class; nullptr with an exception set on
// failure.
PyTypeObject* streaming_converter_type();

}  // namespace kyr::python
