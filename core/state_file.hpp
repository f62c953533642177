// The .kyr byte format: a 16-byte header, then every amplitude as a
// little-endian (real, imaginary) pair of binary64 values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "error.hpp"
#include "quantum_state.hpp"

namespace kyr {

inline constexpr std::size_t file_header_bytes = 16;
inline constexpr std::size_t file_amplitude_bytes = 16;

// The binary64 stored little-endian at `source`, bit pattern unchanged.
inline double load_le_double(const std::byte* source) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, source, sizeof bits);
    if constexpr (std::endian::native == std::endian::big) {
        bits = std::byteswap(bits);
    }
    return std::bit_cast<double>(bits);
}

// The header fields as a decoded state takes them.
struct FileHeader {
    std::uint64_t num_qubits;
    std::uint64_t bond_dimension;  // a zero byte already read as the default
    bool golay_enabled;

    std::uint64_t amplitude_count() const noexcept { return std::uint64_t{1} << num_qubits; }
    // Header plus amplitudes; the file may be longer.
    std::uint64_t encoded_bytes() const noexcept {
        return file_header_bytes + file_amplitude_bytes * amplitude_count();
    }
};

// Checks a header in the fixed order (size, magic, qubit count, length) for an
// input of `total_length` bytes. `head` holds the input's first
// min(16, total_length) bytes. Allocates nothing.
Result<FileHeader> parse_header(std::span<const std::byte> head, std::uint64_t total_length);

// The error for an input of `actual` bytes that needed `expected`.
std::unexpected<Error> truncated_file(std::uint64_t expected, std::uint64_t actual);

// The decoded state for `header` around its two filled arrays.
QuantumState assemble_state(const FileHeader& header, AmplitudeBuffer real, AmplitudeBuffer imag);

// Writes the 16 header bytes of `state` to `out`.
void encode_header(const QuantumState& state, std::span<std::byte, file_header_bytes> out) noexcept;

// Interleaves `real` and `imag` (same length) into `out`, which holds
// exactly 16 bytes per amplitude.
void interleave(std::span<const double> real, std::span<const double> imag,
                std::span<std::byte> out) noexcept;

// Splits amplitude bytes (a multiple of 16) into `real` and `imag`, each with
// room for in.size() / 16 values; bit patterns unchanged.
void deinterleave(std::span<const std::byte> in, double* real, double* imag) noexcept;

// 16 + 16 * min(len real, len imag).
std::uint64_t encoded_size(const QuantumState& state) noexcept;

// Encodes `state` into `out`, which must hold exactly encoded_size(state) bytes.
void encode_into(const QuantumState& state, std::span<std::byte> out) noexcept;

std::vector<std::byte> to_bytes(const QuantumState& state);

// A new state from file bytes; trailing bytes are ignored. Errors are of the
// value kind.
Result<QuantumState> from_bytes(std::span<const std::byte> data);

}  // namespace kyr
