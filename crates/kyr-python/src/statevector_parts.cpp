#include "statevector_parts.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace kyr::python {
namespace {

// ----- items by iteration ------------------------------------------------------

// Doubles appended one at a time into amplitude storage, which doubles when
// full. When the first capacity is right the values land in the buffer the
// state keeps, with no second copy.
class AmplitudeCollector {
public:
    explicit AmplitudeCollector(std::size_t capacity)
        : buffer_(AmplitudeBuffer::uninitialized(capacity)) {}

    void push_back(double value) {
        if (count_ == buffer_.size()) {
            move_to(std::max<std::size_t>(16, 2 * count_));
        }
        buffer_[count_++] = value;
    }

    // The values in a buffer of exactly their number.
    AmplitudeBuffer finish() && {
        if (count_ != buffer_.size()) {
            move_to(count_);
        }
        return std::move(buffer_);
    }

private:
    void move_to(std::size_t capacity) {
        AmplitudeBuffer moved = AmplitudeBuffer::uninitialized(capacity);
        std::copy_n(buffer_.data(), count_, moved.data());
        buffer_ = std::move(moved);
    }

    AmplitudeBuffer buffer_;
    std::size_t count_ = 0;
};

// A length hint only sizes the first allocation, up to 8 MiB: an object
// claiming a huge length cannot reserve gigabytes, and a true large length
// costs a few doublings, small beside converting one Python object per item.
constexpr Py_ssize_t max_length_hint = Py_ssize_t{1} << 20;

std::optional<AmplitudeBuffer> iterate_floats(PyObject* object) {
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    AmplitudeCollector values(static_cast<std::size_t>(std::min(hint, max_length_hint)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return std::nullopt;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const auto value = to_f64(item.get());
        if (!value) {
            return std::nullopt;
        }
        values.push_back(*value);
    }
    if (PyErr_Occurred()) {
        return std::nullopt;
    }
    return std::move(values).finish();
}

// ----- arrays read from memory -------------------------------------------------
// Plain loops over unaligned loads; values are moved, never computed.

constexpr auto complex_size = static_cast<std::ptrdiff_t>(2 * sizeof(double));

double load_double(const std::byte* bytes) noexcept {
    double value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Calls `kernel` with the stride as a compile-time constant for contiguous
// complex data, what flatten() makes (GCC then vectorises), else as a value.
template <class Kernel>
void with_stride(std::ptrdiff_t stride, Kernel&& kernel) {
    if (stride == complex_size) {
        kernel(std::integral_constant<std::ptrdiff_t, complex_size>{});
    } else {
        kernel(stride);
    }
}

template <class Stride>
void gather(const std::byte* __restrict source, Stride stride, double* __restrict out,
            std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = load_double(source + static_cast<std::ptrdiff_t>(i) * stride);
    }
}

template <class Stride>
void gather_pairs(const std::byte* __restrict source, Stride stride, double* __restrict real,
                  double* __restrict imag, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const std::byte* pair = source + static_cast<std::ptrdiff_t>(i) * stride;
        real[i] = load_double(pair);
        imag[i] = load_double(pair + sizeof(double));
    }
}

AmplitudeBuffer copy_elements(const StridedVector& array) {
    AmplitudeBuffer values = AmplitudeBuffer::uninitialized(array.length);
    with_stride(array.stride, [&](auto stride) {
        gather(array.data, stride, values.data(), array.length);
    });
    return values;
}

bool same_layout(const StridedVector& a, const StridedVector& b) noexcept {
    return a.data == b.data && a.length == b.length && a.stride == b.stride;
}

bool is_float64_view(PyObject* object, const StridedVector& expected) {
    const auto layout = exact_vector(object, VectorElement::float64);
    return layout && same_layout(*layout, expected);
}

// ----- one part ----------------------------------------------------------------

std::optional<AmplitudeBuffer> to_float_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise_cannot_convert(object, "Sequence");
        return std::nullopt;
    }
    if (const auto array = exact_vector(object, VectorElement::float64)) {
        return copy_elements(*array);
    }
    return iterate_floats(object);
}

}  // namespace

// When `flat` is a complex128 array and `real` its real view, the imaginary
// parts are read in the same pass: the two are interleaved in memory, so a
// second pass would read every byte again.
std::optional<AmplitudeBuffer> StatevectorPartsReader::read_real(PyObject* real) {
    const auto array = exact_vector(flat_, VectorElement::complex128);
    if (!array || !is_float64_view(real, *array)) {
        return to_float_sequence(real);
    }
    ComplexParts& parts = read_ahead_.emplace(*array, AmplitudeBuffer::uninitialized(array->length),
                                              AmplitudeBuffer::uninitialized(array->length));
    with_stride(array->stride, [&](auto stride) {
        gather_pairs(array->data, stride, parts.real.data(), parts.imag.data(), array->length);
    });
    return std::move(parts.real);
}

// The imaginary parts read ahead are used when `imag` views them. Only
// NumPy's own attribute getter has run on the array since, so they still
// hold the values iteration would give.
std::optional<AmplitudeBuffer> StatevectorPartsReader::read_imag(PyObject* imag) {
    std::optional<ComplexParts> parts = std::exchange(read_ahead_, std::nullopt);
    if (parts) {
        StridedVector imag_view = parts->array;
        imag_view.data += sizeof(double);
        if (is_float64_view(imag, imag_view)) {
            return std::move(parts->imag);
        }
        parts.reset();  // freed before another copy is made
    }
    return to_float_sequence(imag);
}

}  // namespace kyr::python
