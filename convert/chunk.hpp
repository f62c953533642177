// Conversion of one chunk of input bytes into a quantum state.
#pragma once

#include <cstdint>
#include <span>

#include "core/quantum_state.hpp"

namespace kyr {

// Chunk states never exceed this many qubits, bounding one result at
// 2 x 8 MiB of amplitudes whatever the chunk length.
inline constexpr std::uint64_t max_chunk_qubits = 20;

// Qubits for a chunk of `length` bytes: ceil(log2(length)) taken in double
// precision, saturated to an unsigned integer, then clamped to 1..20.
std::uint64_t chunk_qubits(std::uint64_t length) noexcept;

// The conversion of one byte: two divisions in this order, each rounded on
// its own. Dividing once by 255 * scale, or multiplying by a reciprocal,
// changes the last bit.
inline double scaled_byte(std::uint8_t byte, double scale) noexcept {
    return (static_cast<double>(byte) / 255.0) / scale;
}

// out[i] = scaled_byte(bytes[i], scale) for every i; nothing else is written.
// `out` must not overlap `bytes`.
void scale_bytes(std::span<const std::uint8_t> bytes, double scale, double* out) noexcept;

// Real part i is scaled_byte(data[i], sqrt(n)) for the first min(n, 2^q)
// bytes, every other amplitude is zero; the state is not normalised and
// carries the default settings. Throws only std::bad_alloc.
QuantumState chunk_to_state(std::span<const std::uint8_t> data);

}  // namespace kyr
