// Invariants of chunk_to_state on arbitrary chunks, and agreement of the
// byte scaling, direct and table-driven, with the plain rule.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "convert/chunk.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> chunk(data, size);
    const kyr::QuantumState state = kyr::chunk_to_state(chunk);

    const std::uint64_t qubits = state.num_qubits();
    require(qubits >= 1 && qubits <= kyr::max_chunk_qubits);
    require(qubits == kyr::chunk_qubits(size));
    const std::size_t dimension = std::size_t{1} << qubits;
    require(dimension >= size || qubits == kyr::max_chunk_qubits);
    require(state.real().size() == dimension && state.imag().size() == dimension);

    for (const double im : state.imag()) {
        require(std::bit_cast<std::uint64_t>(im) == 0);
    }
    const std::size_t converted = std::min(size, dimension);
    for (std::size_t i = converted; i < dimension; ++i) {
        require(std::bit_cast<std::uint64_t>(state.real()[i]) == 0);
    }
    // Each term is at most 1/n, so the sum stays within rounding of 1.
    const double norm_squared = state.norm_squared();
    require(norm_squared <= 1.0 + 1e-12);

    const double scale = std::sqrt(static_cast<double>(size));
    for (std::size_t i = 0; i < converted; ++i) {
        const double expected = (static_cast<double>(data[i]) / 255.0) / scale;
        require(std::bit_cast<std::uint64_t>(state.real()[i]) ==
                std::bit_cast<std::uint64_t>(expected));
    }
    // The same bytes under a scale taken from the input itself, so results
    // also range over subnormals and values above 1.
    if (size >= 8) {
        double other_scale;
        std::memcpy(&other_scale, data, sizeof other_scale);
        std::vector<double> out(size);
        kyr::scale_bytes(chunk, other_scale, out.data());
        for (std::size_t i = 0; i < size; ++i) {
            const double expected = (static_cast<double>(data[i]) / 255.0) / other_scale;
            require(std::bit_cast<std::uint64_t>(out[i]) == std::bit_cast<std::uint64_t>(expected));
        }
    }
    return 0;
}
