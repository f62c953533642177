// The kyr extension module: entry point, registration and the refusal to be
// loaded into a second interpreter.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "encoding.hpp"
#include "errors.hpp"
#include "kyr_file.hpp"
#include "module_functions.hpp"
#include "numpy_bridge.hpp"
#include "py_ref.hpp"
#include "qiskit_bridge.hpp"
#include "streaming_converter.hpp"

namespace kyr::python {
namespace {

constexpr const char module_doc[] =
    "Kyr (.kyr) Python SDK\n"
    "\n"
    "Production-grade Python bindings for the .kyr quantum state format.\n"
    "\n"
    "Features:\n"
    "- Load/save quantum states in .kyr format\n"
    "- NumPy array interoperability\n"
    "- Qiskit/Cirq conversion\n"
    "- Streaming for large files\n"
    "- Golay error correction\n"
    "- MPS compression\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import kyr\n"
    ">>> import numpy as np\n"
    ">>>\n"
    ">>> # Create a Bell state\n"
    ">>> f = kyr.KyrFile(2)\n"
    ">>> real = np.array([1/np.sqrt(2), 0, 0, 1/np.sqrt(2)])\n"
    ">>> imag = np.zeros(4)\n"
    ">>> f.set_amplitudes(real, imag)\n"
    ">>>\n"
    ">>> # Save and reload\n"
    ">>> f.save(\"bell.kyr\")\n"
    ">>> loaded = kyr.load(\"bell.kyr\")\n"
    ">>> print(loaded.fidelity(f))  # 1.0";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kyr",
    module_doc,
    0,  // no per-module state: classes and caches are process-wide
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* created_module = nullptr;

// Appends `name` to the module's __all__ (creating the list on first use)
// and sets the attribute.
bool module_add(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return false;
    }
    return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, value) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) {
        return false;
    }
    PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
    return py_name && module_add(module, py_name.get(), reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef& definition) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    PyRef function = PyRef::steal(PyCFunction_NewEx(&definition, module, module_name.get()));
    if (!function) {
        return false;
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return false;
    }
    if (!PyUnicode_Check(name.get())) {
        return raise_cannot_convert(name.get(), "PyString") != nullptr;
    }
    return module_add(module, name.get(), function.get());
}

bool initialise(PyObject* module) {
    if (!add_class(module, "KyrFile", kyr_file_type())) {
        return false;
    }
    if (!add_class(module, "StreamingConverter", streaming_converter_type())) {
        return false;
    }
    if (!add_class(module, "Encoding", encoding_type())) {
        return false;
    }
    // Module functions, in registration order.
    const std::initializer_list<PyMethodDef*> functions{
        &load_function,
        &save_function,
        &from_numpy_function,
        &from_arrays_function,
        &verify_function,
        &version_function,
        &from_qiskit_function,
        &to_qiskit_function,
    };
    for (PyMethodDef* definition : functions) {
        if (!add_function(module, *definition)) {
            return false;
        }
    }
    return true;
}

PyObject* create_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "kyr does not support subinterpreters: it can only be imported into "
                        "the first interpreter that loaded it");
        return nullptr;
    }
    if (created_module != nullptr) {
        return Py_NewRef(created_module);
    }
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module || !initialise(module.get())) {
        return nullptr;
    }
    created_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace kyr::python

PyMODINIT_FUNC PyInit_kyr() {
    return kyr::python::guarded([] { return kyr::python::create_module(); });
}
