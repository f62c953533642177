#include "encoding.hpp"

#include <array>
#include <cstdint>

#include "arguments.hpp"
#include "borrow.hpp"
#include "class_object.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace kyr::python {
namespace {

struct EncodingObject {
    PyObject_HEAD
    Py_ssize_t borrow_counter;
    std::uint8_t value;
};

EncodingObject* as_encoding(PyObject* object) noexcept {
    return reinterpret_cast<EncodingObject*>(object);
}

// Member names indexed by value.
constexpr std::array<const char*, 5> member_names{"Amplitude", "BasisState", "Qram", "Angle",
                                                  "Block"};

// Runs `read` on the member's value under a shared borrow.
template <class Read>
PyObject* with_shared_value(PyObject* self, Read&& read) {
    return guarded([&]() -> PyObject* {
        const auto borrow = Borrow::shared(as_encoding(self)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        return read(as_encoding(self)->value);
    });
}

PyObject* encoding_repr(PyObject* self) {
    return with_shared_value(self, [](std::uint8_t value) {
        return PyUnicode_FromFormat("Encoding.%s", member_names[value]);
    });
}

PyObject* encoding_int(PyObject* self) {
    return with_shared_value(
        self, [](std::uint8_t value) { return PyLong_FromUnsignedLong(value); });
}

// Compares the value of `other` as a signed 64-bit integer, or returns
// NotImplemented so that Python falls back to identity.
PyObject* compare_with(std::uint8_t value, PyObject* other, int op) {
    long long other_value = 0;
    if (PyObject_TypeCheck(other, encoding_type())) {
        const auto borrow = Borrow::shared(as_encoding(other)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        other_value = as_encoding(other)->value;
    } else {
        other_value = PyLong_AsLongLong(other);
        if (other_value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    const bool equal = static_cast<long long>(value) == other_value;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* encoding_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return with_shared_value(
        self, [&](std::uint8_t value) { return compare_with(value, other, op); });
}

// Creates the five members once, as class attributes.
bool add_members(PyTypeObject* type) {
    for (std::size_t value = 0; value < member_names.size(); ++value) {
        PyRef member = PyRef::steal(type->tp_alloc(type, 0));
        if (!member) {
            return false;
        }
        as_encoding(member.get())->borrow_counter = 0;
        as_encoding(member.get())->value = static_cast<std::uint8_t>(value);
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), member_names[value],
                                   member.get()) < 0) {
            return false;
        }
    }
    return true;
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(release_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(encoding_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(encoding_richcompare)},
    // Comparable with ints but not hashable like them.
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(encoding_int)},
    {Py_tp_doc, const_cast<char*>("Encoding strategies for file conversion.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Encoding",
    sizeof(EncodingObject),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyObject* cached_class = nullptr;

}  // namespace

PyTypeObject* encoding_type() { return class_object(cached_class, spec, add_members); }

PyObject* to_encoding(PyObject* object) {
    PyTypeObject* type = encoding_type();
    if (type == nullptr) {
        return nullptr;
    }
    return to_instance(object, type, "Encoding");
}

}  // namespace kyr::python
