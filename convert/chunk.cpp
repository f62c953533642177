#include "chunk.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "chunk_kernels.hpp"

namespace kyr {
namespace {

// The one loop body. Two divisions in this order, each rounded on its own:
// dividing once by 255 * scale, or multiplying by a reciprocal, changes the
// last bit. Every instruction set rounds division and the exact byte-to-double
// conversion identically, so all variants below agree bit for bit.
[[gnu::always_inline]] inline void scale_bytes(const std::uint8_t* __restrict bytes,
                                               std::size_t count, double scale,
                                               double* __restrict out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = (static_cast<double>(bytes[i]) / 255.0) / scale;
    }
}

// Each variant inlines scale_bytes and is vectorised for its own target.
// Division throughput per element is the same for 256- and 512-bit vectors,
// so an AVX-512 variant would gain nothing over AVX2.
#if defined(__x86_64__)
[[gnu::target("avx2")]] void scale_bytes_avx2(const std::uint8_t* bytes, std::size_t count,
                                              double scale, double* out) noexcept {
    scale_bytes(bytes, count, scale, out);
}
#endif

void scale_bytes_baseline(const std::uint8_t* bytes, std::size_t count, double scale,
                          double* out) noexcept {
    scale_bytes(bytes, count, scale, out);
}

struct KernelTable {
    std::array<ScaleKernel, 2> kernels;
    std::size_t count = 0;

    void add(ScaleKernel kernel) noexcept { kernels[count++] = kernel; }
};

KernelTable detect_kernels() noexcept {
    KernelTable table;
#if defined(__x86_64__)
    // Needed should this first run before the runtime's own CPU probe.
    __builtin_cpu_init();
    // The probe also checks that the OS saves the wider register state.
    if (__builtin_cpu_supports("avx2")) {
        table.add({"avx2", scale_bytes_avx2});
    }
#endif
    table.add({"baseline", scale_bytes_baseline});
    return table;
}

}  // namespace

std::span<const ScaleKernel> supported_scale_kernels() noexcept {
    static const KernelTable table = detect_kernels();
    return {table.kernels.data(), table.count};
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
    AmplitudeBuffer real = AmplitudeBuffer::zeroed(dimension);
    AmplitudeBuffer imag = AmplitudeBuffer::zeroed(dimension);
    // Bytes beyond 2^20 are counted in the scale but not converted. An empty
    // chunk stays all zeros, with no division by its zero scale.
    const std::size_t converted = std::min<std::size_t>(data.size(), dimension);
    if (converted != 0) {
        const double scale = std::sqrt(static_cast<double>(data.size()));
        supported_scale_kernels().front().run(data.data(), converted, scale, real.data());
    }
    return QuantumState::from_parts(num_qubits, std::move(real), std::move(imag));
}

}  // namespace kyr
