#include "qiskit_bridge.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "borrow.hpp"
#include "core/amplitude_buffer.hpp"
#include "core/quantum_state.hpp"
#include "errors.hpp"
#include "kyr_file.hpp"
#include "method_def.hpp"
#include "numpy_bridge.hpp"
#include "py_ref.hpp"
#include "statevector_parts.hpp"

namespace kyr::python {
namespace {

// ----- outside calls ---------------------------------------------------------

PyRef import_module(const char* name) {
    PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
    return py_name ? PyRef::steal(PyImport_Import(py_name.get())) : PyRef();
}

PyRef get_attribute(PyObject* object, const char* name) {
    return PyRef::steal(PyObject_GetAttrString(object, name));
}

PyRef call_method(PyObject* object, const char* name) {
    PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
    return py_name ? PyRef::steal(PyObject_CallMethodNoArgs(object, py_name.get())) : PyRef();
}

PyRef call_method(PyObject* object, const char* name, PyObject* argument) {
    PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
    return py_name ? PyRef::steal(PyObject_CallMethodOneArg(object, py_name.get(), argument))
                   : PyRef();
}

// ----- module functions ------------------------------------------------------

constexpr const char from_qiskit_doc[] =
    "from_qiskit(statevector)\n--\n\n"
    "Convert a Qiskit Statevector to KyrFile.\n\n"
    "Parameters\n----------\n"
    "statevector : qiskit.quantum_info.Statevector\n    Qiskit statevector object\n\n"
    "Returns\n-------\n"
    "KyrFile\n    Converted quantum state\n\n"
    "Note\n----\n"
    "Requires qiskit to be installed.";
const Parameters from_qiskit_parameters{"from_qiskit()", {"statevector"}, 1};

PyObject* from_qiskit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(from_qiskit_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PyRef data = get_attribute(bound[0], "data");
        if (!data) {
            return nullptr;
        }
        PyRef flat = call_method(data.get(), "flatten");
        if (!flat) {
            return nullptr;
        }
        // The imaginary parts are looked up only once the real parts are read.
        StatevectorPartsReader parts(flat.get());
        PyRef real_object = get_attribute(flat.get(), "real");
        if (!real_object) {
            return nullptr;
        }
        auto real = parts.read_real(real_object.get());
        if (!real) {
            return nullptr;
        }
        PyRef imag_object = get_attribute(flat.get(), "imag");
        if (!imag_object) {
            return nullptr;
        }
        auto imag = parts.read_imag(imag_object.get());
        if (!imag) {
            return nullptr;
        }
        const std::size_t count = real->size();
        if (!std::has_single_bit(count)) {
            PyErr_SetString(PyExc_ValueError, "Statevector dimension must be a power of 2");
            return nullptr;
        }
        // A state keeps two arrays of one length, so unequal parts are refused.
        if (imag->size() != count) {
            const std::string message = "Statevector real and imaginary parts differ in length: " +
                                        std::to_string(count) + " vs " +
                                        std::to_string(imag->size());
            PyErr_SetString(PyExc_ValueError, message.c_str());
            return nullptr;
        }
        const auto num_qubits = static_cast<std::uint64_t>(std::countr_zero(count));
        return wrap_state(QuantumState::from_parts(num_qubits, std::move(*real), std::move(*imag)));
    });
}

constexpr const char to_qiskit_doc[] =
    "to_qiskit(kyr_file)\n--\n\n"
    "Convert KyrFile to Qiskit Statevector.\n\n"
    "Parameters\n----------\n"
    "kyr_file : KyrFile\n    KYR file to convert\n\n"
    "Returns\n-------\n"
    "qiskit.quantum_info.Statevector\n    Qiskit statevector\n\n"
    "Note\n----\n"
    "Requires qiskit to be installed.";
const Parameters to_qiskit_parameters{"to_qiskit()", {"kyr_file"}, 1};

PyObject* to_qiskit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(to_qiskit_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PyObject* file = argument("kyr_file", to_kyr_file(bound[0]));
        if (file == nullptr) {
            return nullptr;
        }
        // Held until the Statevector exists: the calls below run Python code.
        const auto borrow = Borrow::shared(as_kyr_file(file)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        const QuantumState& state = as_kyr_file(file)->state;
        PyRef quantum_info = import_module("qiskit.quantum_info");
        if (!quantum_info) {
            return nullptr;
        }
        PyRef statevector_class = get_attribute(quantum_info.get(), "Statevector");
        if (!statevector_class) {
            return nullptr;
        }
        PyRef numpy = import_module("numpy");
        if (!numpy) {
            return nullptr;
        }
        // Each intermediate array is dropped once the call that uses it has
        // returned, not at the end: at most three large arrays are alive at a
        // time instead of six, and freed pages can serve the next array.
        PyRef real_array = PyRef::steal(new_float64_array(state.real()));
        if (!real_array) {
            return nullptr;
        }
        PyRef imag_array = PyRef::steal(new_float64_array(state.imag()));
        if (!imag_array) {
            return nullptr;
        }
        PyRef real = call_method(numpy.get(), "array", real_array.get());
        if (!real) {
            return nullptr;
        }
        real_array = PyRef();
        PyRef imag = call_method(numpy.get(), "array", imag_array.get());
        if (!imag) {
            return nullptr;
        }
        imag_array = PyRef();
        PyRef complex_type = get_attribute(numpy.get(), "complex128");
        if (!complex_type) {
            return nullptr;
        }
        PyRef unit = PyRef::steal(PyObject_CallFunction(complex_type.get(), "dd", 0.0, 1.0));
        if (!unit) {
            return nullptr;
        }
        // Dunder methods by name: NumPy's own arithmetic, no reflected operands.
        PyRef imag_part = call_method(imag.get(), "__mul__", unit.get());
        if (!imag_part) {
            return nullptr;
        }
        imag = PyRef();
        PyRef amplitudes = call_method(real.get(), "__add__", imag_part.get());
        if (!amplitudes) {
            return nullptr;
        }
        real = PyRef();
        imag_part = PyRef();
        return PyObject_CallOneArg(statevector_class.get(), amplitudes.get());
    });
}

}  // namespace

PyMethodDef from_qiskit_function = {"from_qiskit", as_cfunction(from_qiskit),
                                    fastcall_with_keywords, from_qiskit_doc};
PyMethodDef to_qiskit_function = {"to_qiskit", as_cfunction(to_qiskit), fastcall_with_keywords,
                                  to_qiskit_doc};

}  // namespace kyr::python
