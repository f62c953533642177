#include "chunk.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "core/worker_thread.hpp"

namespace kyr {
namespace {

// A byte has 256 values, so a long chunk needs only 256 pairs of divisions;
// every result is then a table load. Up to this many bytes, dividing each
// one directly costs no more than filling the table.
constexpr std::size_t table_threshold = 256;

// From this many bytes the worker thread converts the second half while the
// caller converts the first: the work is mostly stores, and two cores store
// about twice as fast as one.
constexpr std::size_t shared_from_bytes = std::size_t{256} << 10;

// Eight bytes per load, each looked up and stored as a plain scalar. This
// beats the vectorised loop, gathers included, with AVX2 and AVX-512 alike:
// the work is loads and stores, which wider registers do not speed up.
void look_up(const std::uint8_t* __restrict bytes, std::size_t count,
             const double* __restrict table, double* __restrict out) noexcept {
    constexpr std::size_t word = sizeof(std::uint64_t);
    std::size_t i = 0;
    for (; count - i >= word; i += word) {
        std::uint64_t packed;
        std::memcpy(&packed, bytes + i, word);
        for (std::size_t k = 0; k < word; ++k) {
            const std::size_t shift =
                8 * (std::endian::native == std::endian::little ? k : word - 1 - k);
            out[i + k] = table[(packed >> shift) & 0xFF];
        }
    }
    for (; i < count; ++i) {
        out[i] = table[bytes[i]];
    }
}

}  // namespace

void scale_bytes(std::span<const std::uint8_t> bytes, double scale, double* out) noexcept {
    if (bytes.size() <= table_threshold) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            out[i] = scaled_byte(bytes[i], scale);
        }
        return;
    }
    std::array<double, 256> table;
    for (std::size_t value = 0; value < table.size(); ++value) {
        table[value] = scaled_byte(static_cast<std::uint8_t>(value), scale);
    }
    look_up(bytes.data(), bytes.size(), table.data(), out);
}

std::uint64_t chunk_qubits(std::uint64_t length) noexcept {
    const double exponent = std::ceil(std::log2(static_cast<double>(length)));
    // Saturating conversion: -inf (empty chunk), negatives and NaN give 0.
    std::uint64_t qubits = 0;
    if (exponent >= 18446744073709551616.0) {
        qubits = std::numeric_limits<std::uint64_t>::max();
    } else if (exponent > 0.0) {
        qubits = static_cast<std::uint64_t>(exponent);
    }
    return std::clamp<std::uint64_t>(qubits, 1, max_chunk_qubits);
}

QuantumState chunk_to_state(std::span<const std::uint8_t> data) {
    const std::uint64_t num_qubits = chunk_qubits(data.size());
    const std::size_t dimension = std::size_t{1} << num_qubits;
    // Written in full below, so it can come from recycled memory instead of
    // a fresh zeroed mapping whose pages would all fault on first write.
    AmplitudeBuffer real = AmplitudeBuffer::uninitialized(dimension);
    AmplitudeBuffer imag = AmplitudeBuffer::zeroed(dimension);
    // Bytes beyond 2^20 are counted in the scale but not converted. An empty
    // chunk converts nothing, so its zero scale is never divided by.
    const std::size_t converted = std::min<std::size_t>(data.size(), dimension);
    const double scale = std::sqrt(static_cast<double>(data.size()));
    const auto convert = [&](std::size_t from, std::size_t to) {
        scale_bytes(data.subspan(from, to - from), scale, real.data() + from);
    };
    if (converted >= shared_from_bytes) {
        const std::size_t half = converted / 2;
        run_alongside([&] { convert(half, converted); }, [&] { convert(0, half); });
    } else {
        convert(0, converted);
    }
    std::fill(real.data() + converted, real.data() + dimension, 0.0);
    return QuantumState::from_parts(num_qubits, std::move(real), std::move(imag));
}

}  // namespace kyr
