#include "streaming_converter.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "arguments.hpp"
#include "borrow.hpp"
#include "class_object.hpp"
#include "convert/chunk.hpp"
#include "encoding.hpp"
#include "errors.hpp"
#include "kyr_file.hpp"
#include "method_def.hpp"

namespace kyr::python {
namespace {

constexpr const char class_doc[] =
    "StreamingConverter(total_size, chunk_size=1048576, encoding=...)\n--\n\n"
    "Streaming converter for large files.\n"
    "\n"
    "Use this when converting files too large to fit in memory.";

constexpr std::uint64_t default_chunk_size = 1048576;

struct Counters {
    std::uint64_t total_size;
    std::uint64_t chunk_size;  // only reported back, never enforced
    std::uint64_t bytes_processed;
};

struct StreamingConverterObject {
    PyObject_HEAD
    Py_ssize_t borrow_counter;
    Counters counters;
};

StreamingConverterObject* as_converter(PyObject* object) noexcept {
    return reinterpret_cast<StreamingConverterObject*>(object);
}

// Runs `read` on the counters under a shared borrow of `self`.
template <class Read>
PyObject* with_shared_counters(PyObject* self, Read&& read) {
    return guarded([&]() -> PyObject* {
        const auto borrow = Borrow::shared(as_converter(self)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        return read(std::as_const(as_converter(self)->counters));
    });
}

// ----- construction --------------------------------------------------------

const Parameters new_parameters{
    "StreamingConverter.__new__()", {"total_size", "chunk_size", "encoding"}, 1};

PyObject* converter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> bound{};
        if (!bind_arguments(new_parameters, args, kwargs, bound)) {
            return nullptr;
        }
        const auto total_size = argument("total_size", to_u64(bound[0]));
        if (!total_size) {
            return nullptr;
        }
        const auto chunk_size = argument_or("chunk_size", bound[1], default_chunk_size, to_u64);
        if (!chunk_size) {
            return nullptr;
        }
        // The strategy is checked and has no further effect: every encoding
        // converts by the same rule.
        if (bound[2] != nullptr && argument("encoding", to_encoding(bound[2])) == nullptr) {
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;
        }
        as_converter(self)->borrow_counter = 0;
        as_converter(self)->counters = {*total_size, *chunk_size, 0};
        return self;
    });
}

// ----- methods -------------------------------------------------------------

constexpr const char process_chunk_doc[] =
    "process_chunk($self, data)\n--\n\n"
    "Process a chunk of data.\n\n"
    "Parameters\n----------\n"
    "data : bytes\n    Chunk of input data\n\n"
    "Returns\n-------\n"
    "KyrFile\n    Quantum state for this chunk";
const Parameters process_chunk_parameters{"StreamingConverter.process_chunk()", {"data"}, 1};

PyObject* process_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(process_chunk_parameters, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        const auto borrow = Borrow::exclusive(as_converter(self)->borrow_counter);
        if (!borrow) {
            return nullptr;
        }
        PyObject* data = argument("data", to_instance(bound[0], &PyBytes_Type, "PyBytes"));
        if (data == nullptr) {
            return nullptr;
        }
        const std::span bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        PyObject* file = wrap_state(chunk_to_state(bytes));
        if (file == nullptr) {
            return nullptr;
        }
        // Counted only once the call has succeeded. Saturates instead of
        // wrapping, so a converter fed past 2^64 - 1 bytes stays complete.
        std::uint64_t& processed = as_converter(self)->counters.bytes_processed;
        if (__builtin_add_overflow(processed, bytes.size(), &processed)) {
            processed = std::numeric_limits<std::uint64_t>::max();
        }
        return file;
    });
}

// ----- properties ----------------------------------------------------------

PyObject* get_progress(PyObject* self, void*) {
    return with_shared_counters(self, [](const Counters& counters) {
        if (counters.total_size == 0) {
            return PyFloat_FromDouble(1.0);
        }
        return PyFloat_FromDouble(static_cast<double>(counters.bytes_processed) /
                                  static_cast<double>(counters.total_size));
    });
}

PyObject* get_is_complete(PyObject* self, void*) {
    return with_shared_counters(self, [](const Counters& counters) {
        return PyBool_FromLong(counters.bytes_processed >= counters.total_size);
    });
}

PyObject* get_chunk_size(PyObject* self, void*) {
    return with_shared_counters(self, [](const Counters& counters) {
        return PyLong_FromUnsignedLongLong(counters.chunk_size);
    });
}

// ----- tables --------------------------------------------------------------

PyGetSetDef properties[] = {
    {"progress", get_progress, nullptr, "Get conversion progress (0.0 to 1.0).", nullptr},
    {"is_complete", get_is_complete, nullptr, "Check if conversion is complete.", nullptr},
    {"chunk_size", get_chunk_size, nullptr, "Get recommended chunk size.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"process_chunk", as_cfunction(process_chunk), fastcall_with_keywords, process_chunk_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(converter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(release_instance)},
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.StreamingConverter",
    sizeof(StreamingConverterObject),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyObject* cached_class = nullptr;

}  // namespace

PyTypeObject* streaming_converter_type() { return class_object(cached_class, spec); }

}  // namespace kyr::python
