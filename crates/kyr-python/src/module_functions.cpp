#include "module_functions.hpp"

#include <array>
#include <string>

#include "arguments.hpp"
#include "borrow.hpp"
#include "core/disk_io.hpp"
#include "errors.hpp"
#include "kyr_file.hpp"
#include "method_def.hpp"
#include "signal_check.hpp"

namespace kyr::python {
namespace {

constexpr const char load_doc[] =
    "load(path)\n--\n\n"
    "Load a KYR file from disk.\n\n"
    "Parameters\n----------\n"
    "path : str\n    Path to .kyr file\n\n"
    "Returns\n-------\n"
    "KyrFile\n    Loaded quantum state\n\n"
    "Raises\n------\n"
    "IOError\n    If file cannot be read\n"
    "ValueError\n    If file is not a valid .kyr file";
const Parameters load_parameters{"load()", {"path"}, 1};

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(load_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto path = argument("path", to_str(bound[0]));
        if (!path) {
            return nullptr;
        }
        auto state = read_state_file(std::string(*path), python_signal_check());
        if (!state) {
            return raise_error(state.error());
        }
        return wrap_state(std::move(*state));
    });
}

constexpr const char save_doc[] =
    "save(state, path, bond_dim=64, golay=True)\n--\n\n"
    "Save a quantum state to a KYR file.\n\n"
    "Parameters\n----------\n"
    "state : KyrFile\n    Quantum state to save\n"
    "path : str\n    Output file path\n"
    "bond_dim : int, optional\n    MPS bond dimension (default: 64)\n"
    "golay : bool, optional\n    Enable Golay error correction (default: True)";
const Parameters save_parameters{"save()", {"state", "path", "bond_dim", "golay"}, 2};

PyObject* save(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 4> bound{};
        if (!bind_arguments(save_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PyObject* target = argument("state", to_kyr_file(bound[0]));
        if (target == nullptr) {
            return nullptr;
        }
        const auto borrow = Borrow::exclusive(as_kyr_file(target)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        const auto path = argument("path", to_str(bound[1]));
        if (!path) {
            return nullptr;
        }
        const auto bond_dimension =
            argument_or("bond_dim", bound[2], default_bond_dimension, to_u64);
        if (!bond_dimension) {
            return nullptr;
        }
        const auto golay = argument_or("golay", bound[3], true, to_strict_bool);
        if (!golay) {
            return nullptr;
        }
        // The settings stay in the state even when the write below fails.
        QuantumState& state = as_kyr_file(target)->state;
        state.set_bond_dimension(*bond_dimension);
        state.set_golay_enabled(*golay);
        if (const auto written = write_state_file(state, std::string(*path), python_signal_check());
            !written) {
            return raise_error(written.error());
        }
        Py_RETURN_NONE;
    });
}

constexpr const char verify_doc[] =
    "verify(path)\n--\n\n"
    "Verify a KYR file's integrity.\n\n"
    "Parameters\n----------\n"
    "path : str\n    Path to .kyr file\n\n"
    "Returns\n-------\n"
    "bool\n    True if file is valid";
const Parameters verify_parameters{"verify()", {"path"}, 1};

PyObject* verify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(verify_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto path = argument("path", to_str(bound[0]));
        if (!path) {
            return nullptr;
        }
        // A handler's exception propagates; it does not make the file invalid.
        const auto valid = verify_state_file(std::string(*path), python_signal_check());
        if (!valid) {
            return raise_error(valid.error());
        }
        return PyBool_FromLong(*valid);
    });
}

constexpr const char version_doc[] =
    "version()\n--\n\n"
    "Get library version.";

PyObject* version(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return PyUnicode_FromString("1.0.0"); });
}

}  // namespace

PyMethodDef load_function = {"load", as_cfunction(load), fastcall_with_keywords, load_doc};
PyMethodDef save_function = {"save", as_cfunction(save), fastcall_with_keywords, save_doc};
PyMethodDef verify_function = {"verify", as_cfunction(verify), fastcall_with_keywords, verify_doc};
PyMethodDef version_function = {"version", as_cfunction(version), METH_NOARGS, version_doc};

}  // namespace kyr::python
