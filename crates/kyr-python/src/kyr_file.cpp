#include "kyr_file.hpp"

#include <array>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "borrow.hpp"
#include "core/disk_io.hpp"
#include "core/state_file.hpp"
#include "class_object.hpp"
#include "errors.hpp"
#include "method_def.hpp"
#include "numpy_bridge.hpp"
#include "py_ref.hpp"
#include "signal_check.hpp"

namespace kyr::python {
namespace {

constexpr const char class_doc[] =
    "KyrFile(num_qubits=1)\n--\n\n"
    "A Kyr (.kyr) file handle.\n"
    "\n"
    "This class provides the main interface for creating, loading, and saving\n"
    "quantum states in the .kyr format.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import kyr\n"
    ">>> # Create a new 4-qubit state\n"
    ">>> f = kyr.KyrFile(4)\n"
    ">>> f.num_qubits\n"
    "4\n"
    ">>> f.dimension\n"
    "16\n"
    ">>> # Save to disk\n"
    ">>> f.save(\"state.kyr\")";

QuantumState& state_of(PyObject* self) noexcept { return as_kyr_file(self)->state; }
Py_ssize_t& counter_of(PyObject* self) noexcept { return as_kyr_file(self)->borrow_counter; }

PyObject* new_str(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

int refuse_deletion() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

// Runs `read` on the state under a shared borrow of `self`.
template <class Read>
PyObject* with_shared_state(PyObject* self, Read&& read) {
    return guarded([&]() -> PyObject* {
        const auto borrow = Borrow::shared(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        return read(std::as_const(state_of(self)));
    });
}

// ----- construction and deallocation -------------------------------------

const Parameters new_parameters{"KyrFile.__new__()", {"num_qubits"}, 0};

PyObject* kyr_file_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(new_parameters, args, kwargs, bound)) {
            return nullptr;
        }
        const auto num_qubits = argument_or<std::uint64_t>("num_qubits", bound[0], 1, to_u64);
        if (!num_qubits) {
            return nullptr;
        }
        auto state = QuantumState::create(*num_qubits);
        if (!state) {
            return raise_error(state.error());
        }
        return wrap_state(std::move(*state));
    });
}

void kyr_file_dealloc(PyObject* self) {
    as_kyr_file(self)->state.~QuantumState();
    release_instance(self);
}

PyObject* kyr_file_str(PyObject* self) {
    return with_shared_state(self, [](const QuantumState& state) { return new_str(state.summary()); });
}

PyObject* kyr_file_repr(PyObject* self) {
    return with_shared_state(
        self, [](const QuantumState& state) { return new_str(state.constructor_form()); });
}

// ----- properties ----------------------------------------------------------

PyObject* get_num_qubits(PyObject* self, void*) {
    return with_shared_state(self, [](const QuantumState& state) {
        return PyLong_FromUnsignedLongLong(state.num_qubits());
    });
}

PyObject* get_dimension(PyObject* self, void*) {
    return with_shared_state(self, [](const QuantumState& state) {
        return PyLong_FromUnsignedLongLong(state.dimension());
    });
}

PyObject* get_bond_dimension(PyObject* self, void*) {
    return with_shared_state(self, [](const QuantumState& state) {
        return PyLong_FromUnsignedLongLong(state.bond_dimension());
    });
}

int set_bond_dimension(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (value == nullptr) {
            return refuse_deletion();
        }
        const auto converted = argument("value", to_u64(value));
        if (!converted) {
            return -1;
        }
        const auto borrow = Borrow::exclusive(counter_of(self));
        if (!borrow) {
            return -1;
        }
        if (*converted < 1 || *converted > 1024) {
            PyErr_SetString(PyExc_ValueError, "bond_dimension must be 1-1024");
            return -1;
        }
        state_of(self).set_bond_dimension(*converted);
        return 0;
    });
}

PyObject* get_golay_enabled(PyObject* self, void*) {
    return with_shared_state(
        self, [](const QuantumState& state) { return PyBool_FromLong(state.golay_enabled()); });
}

int set_golay_enabled(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (value == nullptr) {
            return refuse_deletion();
        }
        const auto converted = argument("value", to_strict_bool(value));
        if (!converted) {
            return -1;
        }
        const auto borrow = Borrow::exclusive(counter_of(self));
        if (!borrow) {
            return -1;
        }
        state_of(self).set_golay_enabled(*converted);
        return 0;
    });
}

PyObject* get_source_path(PyObject* self, void*) {
    return with_shared_state(self, [](const QuantumState& state) -> PyObject* {
        if (!state.source_path()) {
            Py_RETURN_NONE;
        }
        return new_str(*state.source_path());
    });
}

// ----- methods -------------------------------------------------------------

constexpr const char get_amplitude_doc[] =
    "get_amplitude($self, index)\n--\n\n"
    "Get a single amplitude by basis state index.\n\n"
    "Parameters\n----------\n"
    "index : int\n    Basis state index (0 to 2^n - 1)\n\n"
    "Returns\n-------\n"
    "tuple[float, float]\n    (real, imag) parts of the amplitude";
const Parameters get_amplitude_parameters{"KyrFile.get_amplitude()", {"index"}, 1};

PyObject* get_amplitude(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(get_amplitude_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::shared(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        const auto index = argument("index", to_u64(bound[0]));
        if (!index) {
            return nullptr;
        }
        const auto amplitude = state_of(self).get_amplitude(*index);
        if (!amplitude) {
            return raise_error(amplitude.error());
        }
        return Py_BuildValue("(dd)", amplitude->first, amplitude->second);
    });
}

constexpr const char set_amplitude_doc[] =
    "set_amplitude($self, index, real, imag)\n--\n\n"
    "Set a single amplitude by basis state index.\n\n"
    "Parameters\n----------\n"
    "index : int\n    Basis state index (0 to 2^n - 1)\n"
    "real : float\n    Real part of amplitude\n"
    "imag : float\n    Imaginary part of amplitude";
const Parameters set_amplitude_parameters{"KyrFile.set_amplitude()", {"index", "real", "imag"}, 3};

PyObject* set_amplitude(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> bound{};
        if (!bind_arguments(set_amplitude_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::exclusive(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        const auto index = argument("index", to_u64(bound[0]));
        if (!index) {
            return nullptr;
        }
        const auto re = argument("real", to_f64(bound[1]));
        if (!re) {
            return nullptr;
        }
        const auto im = argument("imag", to_f64(bound[2]));
        if (!im) {
            return nullptr;
        }
        if (const auto stored = state_of(self).set_amplitude(*index, *re, *im); !stored) {
            return raise_error(stored.error());
        }
        Py_RETURN_NONE;
    });
}

constexpr const char is_normalized_doc[] =
    "is_normalized($self, tolerance=1e-10)\n--\n\n"
    "Check if the state is normalized (sum of |amplitude|^2 \xE2\x89\x88 1).\n\n"
    "Parameters\n----------\n"
    "tolerance : float, optional\n    Tolerance for normalization check (default: 1e-10)\n\n"
    "Returns\n-------\n"
    "bool\n    True if normalized within tolerance";
const Parameters is_normalized_parameters{"KyrFile.is_normalized()", {"tolerance"}, 0};

PyObject* is_normalized(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(is_normalized_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::shared(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        const auto tolerance = argument_or("tolerance", bound[0], 1e-10, to_f64);
        if (!tolerance) {
            return nullptr;
        }
        return PyBool_FromLong(state_of(self).is_normalized(*tolerance));
    });
}

constexpr const char normalize_doc[] =
    "normalize($self)\n--\n\n"
    "Normalize the state vector in place.\n\n"
    "Raises\n------\n"
    "ValueError\n    If state has zero norm";

PyObject* normalize(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto borrow = Borrow::exclusive(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        if (const auto done = state_of(self).normalize(); !done) {
            return raise_error(done.error());
        }
        Py_RETURN_NONE;
    });
}

constexpr const char norm_squared_doc[] =
    "norm_squared($self)\n--\n\n"
    "Calculate the norm squared (sum of |amplitude|^2).";

PyObject* norm_squared(PyObject* self, PyObject*) {
    return with_shared_state(
        self, [](const QuantumState& state) { return PyFloat_FromDouble(state.norm_squared()); });
}

constexpr const char fidelity_doc[] =
    "fidelity($self, other)\n--\n\n"
    "Calculate fidelity with another state: |\xE2\x9F\xA8self|other\xE2\x9F\xA9|\xC2\xB2.\n\n"
    "Parameters\n----------\n"
    "other : KyrFile\n    Another quantum state\n\n"
    "Returns\n-------\n"
    "float\n    Fidelity between 0 and 1\n\n"
    "Raises\n------\n"
    "ValueError\n    If states have different dimensions";
const Parameters fidelity_parameters{"KyrFile.fidelity()", {"other"}, 1};

PyObject* fidelity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(fidelity_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::shared(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        PyObject* other = argument("other", to_kyr_file(bound[0]));
        if (other == nullptr) {
            return nullptr;
        }
        const auto other_borrow = Borrow::shared(counter_of(other));
        if (!other_borrow) {
            return nullptr;
        }
        const auto value = state_of(self).fidelity(state_of(other));
        if (!value) {
            return raise_error(value.error());
        }
        return PyFloat_FromDouble(*value);
    });
}

constexpr const char set_metadata_doc[] =
    "set_metadata($self, key, value)\n--\n\n"
    "Set metadata key-value pair.\n\n"
    "Parameters\n----------\n"
    "key : str\n    Metadata key\n"
    "value : str\n    Metadata value";
const Parameters set_metadata_parameters{"KyrFile.set_metadata()", {"key", "value"}, 2};

PyObject* set_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};
        if (!bind_arguments(set_metadata_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::exclusive(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        const auto key = argument("key", to_str(bound[0]));
        if (!key) {
            return nullptr;
        }
        const auto value = argument("value", to_str(bound[1]));
        if (!value) {
            return nullptr;
        }
        state_of(self).set_metadata(std::string(*key), std::string(*value));
        Py_RETURN_NONE;
    });
}

constexpr const char get_metadata_doc[] =
    "get_metadata($self, key)\n--\n\n"
    "Get metadata value by key.\n\n"
    "Parameters\n----------\n"
    "key : str\n    Metadata key\n\n"
    "Returns\n-------\n"
    "str or None\n    Metadata value or None if not found";
const Parameters get_metadata_parameters{"KyrFile.get_metadata()", {"key"}, 1};

PyObject* get_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(get_metadata_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::shared(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        const auto key = argument("key", to_str(bound[0]));
        if (!key) {
            return nullptr;
        }
        const auto value = state_of(self).get_metadata(*key);
        if (!value) {
            Py_RETURN_NONE;
        }
        return new_str(*value);
    });
}

constexpr const char metadata_dict_doc[] =
    "metadata_dict($self)\n--\n\n"
    "Get all metadata as a dictionary.";

PyObject* metadata_dict(PyObject* self, PyObject*) {
    return with_shared_state(self, [](const QuantumState& state) -> PyObject* {
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) {
            return nullptr;
        }
        for (const auto& [key, value] : state.metadata()) {
            PyRef py_key = PyRef::steal(new_str(key));
            PyRef py_value = PyRef::steal(new_str(value));
            if (!py_key || !py_value || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) {
                return nullptr;
            }
        }
        return dict.release();
    });
}

constexpr const char save_doc[] =
    "save($self, path)\n--\n\n"
    "Save the KYR file to disk.";
const Parameters save_parameters{"KyrFile.save()", {"path"}, 1};

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(save_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::exclusive(counter_of(self));
        if (!borrow) {
            return nullptr;
        }
        const auto path = argument("path", to_str(bound[0]));
        if (!path) {
            return nullptr;
        }
        const auto written =
            write_state_file(state_of(self), std::string(*path), python_signal_check());
        if (!written) {
            return raise_error(written.error());
        }
        Py_RETURN_NONE;
    });
}

constexpr const char to_bytes_doc[] =
    "to_bytes($self)\n--\n\n"
    "Serialize to bytes.";

PyObject* to_bytes(PyObject* self, PyObject*) {
    return with_shared_state(self, [](const QuantumState& state) -> PyObject* {
        // Encoded straight into the bytes object: one pass, no second buffer.
        const std::uint64_t size = encoded_size(state);
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) {
            return nullptr;
        }
        encode_into(state, std::as_writable_bytes(std::span(PyBytes_AS_STRING(bytes.get()), size)));
        return bytes.release();
    });
}

// ----- tables --------------------------------------------------------------

PyGetSetDef properties[] = {
    {"num_qubits", get_num_qubits, nullptr, "Number of qubits in the quantum state.", nullptr},
    {"dimension", get_dimension, nullptr, "Dimension of the state vector (2^num_qubits).", nullptr},
    {"bond_dimension", get_bond_dimension, set_bond_dimension, "Bond dimension for MPS compression.",
     nullptr},
    {"golay_enabled", get_golay_enabled, set_golay_enabled,
     "Whether Golay error correction is enabled.", nullptr},
    {"source_path", get_source_path, nullptr, "Source file path if loaded from disk.", nullptr},
    {"amplitudes", kyr_file_amplitudes, nullptr, kyr_file_amplitudes_doc, nullptr},
    {"amplitudes_real", kyr_file_amplitudes_real, nullptr, kyr_file_amplitudes_real_doc, nullptr},
    {"amplitudes_imag", kyr_file_amplitudes_imag, nullptr, kyr_file_amplitudes_imag_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"set_amplitudes", as_cfunction(kyr_file_set_amplitudes), fastcall_with_keywords,
     kyr_file_set_amplitudes_doc},
    {"get_amplitude", as_cfunction(get_amplitude), fastcall_with_keywords, get_amplitude_doc},
    {"set_amplitude", as_cfunction(set_amplitude), fastcall_with_keywords, set_amplitude_doc},
    {"is_normalized", as_cfunction(is_normalized), fastcall_with_keywords, is_normalized_doc},
    {"normalize", as_cfunction(normalize), METH_NOARGS, normalize_doc},
    {"norm_squared", as_cfunction(norm_squared), METH_NOARGS, norm_squared_doc},
    {"fidelity", as_cfunction(fidelity), fastcall_with_keywords, fidelity_doc},
    {"set_metadata", as_cfunction(set_metadata), fastcall_with_keywords, set_metadata_doc},
    {"get_metadata", as_cfunction(get_metadata), fastcall_with_keywords, get_metadata_doc},
    {"metadata_dict", as_cfunction(metadata_dict), METH_NOARGS, metadata_dict_doc},
    {"save", as_cfunction(save), fastcall_with_keywords, save_doc},
    {"to_bytes", as_cfunction(to_bytes), METH_NOARGS, to_bytes_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(kyr_file_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kyr_file_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(kyr_file_repr)},
    {Py_tp_str, reinterpret_cast<void*>(kyr_file_str)},
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.KyrFile",
    sizeof(KyrFileObject),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyObject* cached_class = nullptr;

}  // namespace

PyTypeObject* kyr_file_type() { return class_object(cached_class, spec); }

PyObject* wrap_state(QuantumState&& state) {
    PyTypeObject* type = kyr_file_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        return nullptr;
    }
    KyrFileObject* file = as_kyr_file(object);
    file->borrow_counter = 0;
    new (&file->state) QuantumState(std::move(state));
    return object;
}

PyObject* to_kyr_file(PyObject* object) {
    PyTypeObject* type = kyr_file_type();
    if (type == nullptr) {
        return nullptr;
    }
    return to_instance(object, type, "KyrFile");
}

}  // namespace kyr::python
