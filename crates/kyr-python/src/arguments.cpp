#include "arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "errors.hpp"
#include "py_ref.hpp"

namespace kyr::python {
namespace {

PyObject* raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

bool raise_too_many_positional(const Parameters& parameters, std::size_t given) {
    const std::size_t total = parameters.names.size();
    std::string message = parameters.function;
    if (parameters.required < total) {
        message += " takes from " + std::to_string(parameters.required) + " to " +
                   std::to_string(total);
    } else {
        message += " takes " + std::to_string(total);
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    raise_type_error(message);
    return false;
}

bool raise_missing(const Parameters& parameters, std::span<PyObject*> bound) {
    std::string names;
    std::size_t count = 0;
    for (std::size_t i = 0; i < parameters.required; ++i) {
        count += bound[i] == nullptr ? 1 : 0;
    }
    std::size_t listed = 0;
    for (std::size_t i = 0; i < parameters.required; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        if (listed > 0) {
            if (count == 2) {
                names += " and ";
            } else {
                names += listed + 1 == count ? ", and " : ", ";
            }
        }
        names += "'" + std::string(parameters.names.begin()[i]) + "'";
        ++listed;
    }
    raise_type_error(std::string(parameters.function) + " missing " + std::to_string(count) +
                     " required positional " + (count == 1 ? "argument" : "arguments") + ": " +
                     names);
    return false;
}

// Places one keyword argument; false with TypeError set if it names no
// parameter or one already given.
bool bind_keyword(const Parameters& parameters, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> bound) {
    if (!PyUnicode_Check(keyword)) {
        raise_type_error("keywords must be strings");
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (text == nullptr) {
        return false;
    }
    const std::string_view name(text, static_cast<std::size_t>(length));
    std::size_t index = 0;
    for (const char* parameter : parameters.names) {
        if (name == parameter) {
            if (bound[index] != nullptr) {
                raise_type_error(std::string(parameters.function) +
                                 " got multiple values for argument '" + parameter + "'");
                return false;
            }
            bound[index] = value;
            return true;
        }
        ++index;
    }
    raise_type_error(std::string(parameters.function) + " got an unexpected keyword argument '" +
                     std::string(name) + "'");
    return false;
}

bool bind_positional(const Parameters& parameters, PyObject* const* args, std::size_t nargs,
                     std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    if (nargs > parameters.names.size()) {
        return raise_too_many_positional(parameters, nargs);
    }
    std::copy_n(args, nargs, bound.begin());
    return true;
}

bool check_required(const Parameters& parameters, std::span<PyObject*> bound) {
    for (std::size_t i = 0; i < parameters.required; ++i) {
        if (bound[i] == nullptr) {
            return raise_missing(parameters, bound);
        }
    }
    return true;
}

std::optional<std::uint64_t> exact_int_to_u64(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return std::nullopt;
    }
    return value;
}

bool is_numpy_bool_scalar(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    const char* name = type->tp_name;  // "numpy.bool" or "numpy.bool_"
    if (std::strcmp(name, "numpy.bool") != 0 && std::strcmp(name, "numpy.bool_") != 0) {
        return false;
    }
    PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                                       "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool bind_arguments(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (!bind_positional(parameters, args, nargs, bound)) {
        return false;
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!bind_keyword(parameters, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound)) {
            return false;
        }
    }
    return check_required(parameters, bound);
}

bool bind_arguments(const Parameters& parameters, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
    const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (!bind_positional(parameters, &PyTuple_GET_ITEM(args, 0), nargs, bound)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(parameters, keyword, value, bound)) {
                return false;
            }
        }
    }
    return check_required(parameters, bound);
}

std::optional<std::uint64_t> to_u64(PyObject* object) {
    if (PyLong_Check(object)) {
        return exact_int_to_u64(object);
    }
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        return std::nullopt;
    }
    return exact_int_to_u64(index.get());
}

std::optional<double> to_f64(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string_view> to_str(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
        return std::nullopt;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &length);
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string_view(text, static_cast<std::size_t>(length));
}

std::optional<bool> to_strict_bool(PyObject* object) {
    if (PyBool_Check(object)) {
        return object == Py_True;
    }
    if (is_numpy_bool_scalar(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) {
            return std::nullopt;
        }
        return truth == 1;
    }
    raise_cannot_convert(object, "PyBool");
    return std::nullopt;
}

PyObject* to_instance(PyObject* object, PyTypeObject* type, const char* target) {
    if (!PyObject_TypeCheck(object, type)) {
        return raise_cannot_convert(object, target);
    }
    return object;
}

void annotate_argument_error(const char* name) noexcept {
    PyRef original = fetch_exception();
    if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(original));
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    if (!text) {
        return;
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        return;
    }
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        return;
    }
    PyException_SetCause(replacement.get(), original.release());
    restore_exception(std::move(replacement));
}

}  // namespace kyr::python
