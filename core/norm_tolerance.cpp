#include "norm_tolerance.hpp"

#include <cmath>

#include "state_file.hpp"

namespace kyr {
namespace {

constexpr double tolerance = 1e-6;
constexpr double unit_roundoff = 0x1p-53;

}  // namespace

void FastNormSquared::add_interleaved(std::span<const std::byte> pairs) noexcept {
    const std::byte* source = pairs.data();
    const std::size_t count = pairs.size() / file_amplitude_bytes;
    const auto term = [&](std::size_t i) {
        const double re = load_le_double(source + file_amplitude_bytes * i);
        const double im = load_le_double(source + file_amplitude_bytes * i + 8);
        return re * re + im * im;
    };
    std::size_t i = 0;
    for (; i + lanes_.size() <= count; i += lanes_.size()) {
        for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
            lanes_[lane] += term(i + lane);
        }
    }
    for (; i < count; ++i) {
        lanes_[0] += term(i);
    }
    count_ += count;
}

std::optional<bool> FastNormSquared::certain_verdict() const noexcept {
    double sum = 0.0;
    for (const double lane : lanes_) {
        sum += lane;
    }
    if (!std::isfinite(sum)) {
        // A NaN or infinite term makes every order NaN or infinite; a finite
        // sum that overflowed here is far outside the tolerance in any order.
        return false;
    }
    // Twice the first-order bound on the gap between the two sums, plus the
    // lanes' final additions, with room to spare.
    const double gap = 4.0 * static_cast<double>(count_ + lanes_.size()) * unit_roundoff * sum;
    const double distance = std::fabs(sum - 1.0);
    if (std::fabs(distance - tolerance) <= gap + 4.0 * unit_roundoff) {
        return std::nullopt;
    }
    return distance < tolerance;
}

}  // namespace kyr
