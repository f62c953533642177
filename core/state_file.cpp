#include "state_file.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

namespace kyr {
namespace {

// 'K', 'Y', 'R', 0x01 read as one little-endian word.
constexpr std::uint32_t magic_word = 0x0152594B;

template <class T>
T load_le(const std::byte* source) noexcept {
    T value;
    std::memcpy(&value, source, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = std::byteswap(value);
    }
    return value;
}

template <class T>
void store_le(std::byte* target, T value) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        value = std::byteswap(value);
    }
    std::memcpy(target, &value, sizeof value);
}

void store_double(std::byte* target, double value) noexcept {
    store_le(target, std::bit_cast<std::uint64_t>(value));
}

}  // namespace

Result<FileHeader> parse_header(std::span<const std::byte> head, std::uint64_t total_length) {
    if (total_length < file_header_bytes) {
        return value_error("File too small");
    }
    if (load_le<std::uint32_t>(head.data()) != magic_word) {
        return value_error("Invalid KYR magic number");
    }
    const auto num_qubits = static_cast<std::uint8_t>(head[4]);
    if (num_qubits == 0 || num_qubits > max_file_qubits) {
        return value_error("Invalid num_qubits: " + std::to_string(num_qubits));
    }
    const auto bond_byte = static_cast<std::uint8_t>(head[5]);
    const FileHeader header{
        .num_qubits = num_qubits,
        .bond_dimension = bond_byte == 0 ? default_bond_dimension : bond_byte,
        .golay_enabled = head[6] != std::byte{0},
    };
    if (total_length < header.encoded_bytes()) {
        return truncated_file(header.encoded_bytes(), total_length);
    }
    return header;
}

std::unexpected<Error> truncated_file(std::uint64_t expected, std::uint64_t actual) {
    return value_error("File truncated: expected " + std::to_string(expected) + " bytes, got " +
                       std::to_string(actual));
}

QuantumState assemble_state(const FileHeader& header, AmplitudeBuffer real, AmplitudeBuffer imag) {
    QuantumState state =
        QuantumState::from_parts(header.num_qubits, std::move(real), std::move(imag));
    state.set_bond_dimension(header.bond_dimension);
    state.set_golay_enabled(header.golay_enabled);
    return state;
}

void encode_header(const QuantumState& state,
                   std::span<std::byte, file_header_bytes> out) noexcept {
    std::ranges::fill(out, std::byte{0});
    store_le(out.data(), magic_word);
    out[4] = static_cast<std::byte>(state.num_qubits() & 0xFF);
    out[5] = static_cast<std::byte>(std::min<std::uint64_t>(state.bond_dimension(), 255));
    out[6] = std::byte{state.golay_enabled() ? std::uint8_t{1} : std::uint8_t{0}};
}

void interleave(std::span<const double> real, std::span<const double> imag,
                std::span<std::byte> out) noexcept {
    const double* re = real.data();
    const double* im = imag.data();
    std::byte* target = out.data();
    const std::size_t count = real.size();
    for (std::size_t i = 0; i < count; ++i) {
        store_double(target + file_amplitude_bytes * i, re[i]);
        store_double(target + file_amplitude_bytes * i + 8, im[i]);
    }
}

void deinterleave(std::span<const std::byte> in, double* real, double* imag) noexcept {
    const std::byte* source = in.data();
    const std::size_t count = in.size() / file_amplitude_bytes;
    for (std::size_t i = 0; i < count; ++i) {
        real[i] = load_le_double(source + file_amplitude_bytes * i);
        imag[i] = load_le_double(source + file_amplitude_bytes * i + 8);
    }
}

std::uint64_t encoded_size(const QuantumState& state) noexcept {
    const std::uint64_t count = std::min(state.real().size(), state.imag().size());
    return file_header_bytes + file_amplitude_bytes * count;
}

void encode_into(const QuantumState& state, std::span<std::byte> out) noexcept {
    const std::size_t count = std::min(state.real().size(), state.imag().size());
    encode_header(state, out.first<file_header_bytes>());
    interleave(state.real().first(count), state.imag().first(count),
               out.subspan(file_header_bytes, file_amplitude_bytes * count));
}

std::vector<std::byte> to_bytes(const QuantumState& state) {
    std::vector<std::byte> bytes(encoded_size(state));
    encode_into(state, bytes);
    return bytes;
}

Result<QuantumState> from_bytes(std::span<const std::byte> data) {
    const auto head = data.first(std::min(data.size(), file_header_bytes));
    const auto header = parse_header(head, data.size());
    if (!header) {
        return std::unexpected(header.error());
    }
    const std::size_t count = header->amplitude_count();
    AmplitudeBuffer real = AmplitudeBuffer::uninitialized(count);
    AmplitudeBuffer imag = AmplitudeBuffer::uninitialized(count);
    deinterleave(data.subspan(file_header_bytes, file_amplitude_bytes * count), real.data(),
                 imag.data());
    return assemble_state(*header, std::move(real), std::move(imag));
}

}  // namespace kyr
