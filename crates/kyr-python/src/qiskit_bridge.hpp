// Exchange of states with Qiskit's Statevector: from_qiskit and to_qiskit.
//
// Qiskit is never imported at module import: from_qiskit only reads the
// object it is given, to_qiskit imports qiskit.quantum_info when called.
#pragma once

#include <Python.h>

namespace kyr::python {

extern PyMethodDef from_qiskit_function;
extern PyMethodDef to_qiskit_function;

}  // namespace kyr::python
