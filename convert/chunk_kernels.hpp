// The byte-scaling loop of chunk_to_state, compiled once per instruction set
// and picked at run time. Exposed so tests can run every variant this CPU
// supports and hold each to the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kyr {

// out[i] = (double(bytes[i]) / 255.0) / scale for i < count; nothing else
// is written. `out` must not overlap `bytes`.
using ScaleKernelFn = void (*)(const std::uint8_t* bytes, std::size_t count, double scale,
                               double* out) noexcept;

struct ScaleKernel {
    std::string_view name;
    ScaleKernelFn run;
};

// The variants this CPU can execute, preferred first; the last entry is the
// portable baseline and is always present. chunk_to_state uses the first.
std::span<const ScaleKernel> supported_scale_kernels() noexcept;

}  // namespace kyr
