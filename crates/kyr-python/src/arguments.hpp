// Binding and conversion of call arguments, shared by every function, method
// and constructor so that messages and the order of checks agree everywhere.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

namespace kyr::python {

// A callable's parameters: all may be given by position or by keyword, and the
// first `required` have no default.
struct Parameters {
    const char* function;  // as shown in messages, e.g. "KyrFile.__new__()"
    std::initializer_list<const char*> names;
    std::size_t required;
};

// Binds the vectorcall form. `bound` receives one borrowed reference per
// parameter, nullptr where absent. Returns false with TypeError set.
bool bind_arguments(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> bound);

// Binds the tuple/dict form used by constructors.
bool bind_arguments(const Parameters& parameters, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound);

// Converters. Each returns nothing with a Python exception set on failure.

// int directly, anything else through __index__; OverflowError when negative
// or 2**64 and above.
std::optional<std::uint64_t> to_u64(PyObject* object);
// float directly, anything else through __float__ / __index__.
std::optional<double> to_f64(PyObject* object);
// str (or a subclass) as UTF-8; the view lives as long as the object.
std::optional<std::string_view> to_str(PyObject* object);
// Exactly a bool, or a NumPy boolean scalar.
std::optional<bool> to_strict_bool(PyObject* object);
// An instance of `type` (or a subtype), else TypeError naming `target`.
PyObject* to_instance(PyObject* object, PyTypeObject* type, const char* target);

// After a failed conversion of argument `name`: a TypeError is replaced by
// TypeError "argument '{name}': {message}" whose cause is the original; other
// exceptions are left as they are.
void annotate_argument_error(const char* name) noexcept;

// Converts one named argument, annotating a failure.
template <class T>
std::optional<T> argument(const char* name, std::optional<T> converted) noexcept {
    if (!converted) {
        annotate_argument_error(name);
    }
    return converted;
}

// Converts an argument that has a default: `fallback` when it was not passed.
template <class T>
std::optional<T> argument_or(const char* name, PyObject* object, T fallback,
                             std::optional<T> (*convert)(PyObject*)) {
    if (object == nullptr) {
        return fallback;
    }
    return argument(name, convert(object));
}

inline PyObject* argument(const char* name, PyObject* converted) noexcept {
    if (converted == nullptr) {
        annotate_argument_error(name);
    }
    return converted;
}

}  // namespace kyr::python
