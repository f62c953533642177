// Decodes arbitrary bytes. Besides memory safety (the sanitizers), checks
// that a decoded state has 2^n amplitudes in each array and that encoding it
// gives the input's first bytes back, apart from the header normalisations
// (bond byte 0 -> 64, Golay byte -> 0/1, reserved bytes -> 0).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "core/state_file.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    const auto decoded = kyr::from_bytes(input);
    if (!decoded) {
        require(decoded.error().kind == kyr::ErrorKind::value);
        return 0;
    }
    const std::uint64_t n = decoded->num_qubits();
    require(n >= 1 && n <= kyr::max_file_qubits && n == data[4]);
    require(decoded->real().size() == std::size_t{1} << n);
    require(decoded->imag().size() == std::size_t{1} << n);
    require(!decoded->source_path().has_value() && decoded->metadata().empty());

    const std::vector<std::byte> encoded = kyr::to_bytes(*decoded);
    require(encoded.size() == 16 + (std::size_t{16} << n) && encoded.size() <= size);
    const auto prefix = input.first(encoded.size());
    std::vector<std::byte> expected(prefix.begin(), prefix.end());
    if (expected[5] == std::byte{0}) {
        expected[5] = std::byte{64};
    }
    expected[6] = expected[6] == std::byte{0} ? std::byte{0} : std::byte{1};
    std::memset(expected.data() + 7, 0, 9);
    require(encoded == expected);
    return 0;
}
