// The stop check that file operations get from Python: pending signal
// handlers run between chunks and whenever a blocking system call was
// interrupted, so Ctrl-C (KeyboardInterrupt) or an alarm whose handler raises
// ends the call promptly with that exception. The interpreter lock stays held.
#pragma once

#include <Python.h>

#include "core/stop_check.hpp"

namespace kyr::python {

inline const StopCheck& python_signal_check() {
    static const StopCheck check = [] { return PyErr_CheckSignals() != 0; };
    return check;
}

}  // namespace kyr::python
