#include "norm_tolerance.hpp"

#include <cmath>

namespace kyr {
namespace {

constexpr double tolerance = 1e-6;
constexpr double unit_roundoff = 0x1p-53;

}  // namespace

void FastNormSquared::add(const double* real, const double* imag, std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i + lanes_.size() <= count; i += lanes_.size()) {
        for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
            const double term = real[i + lane] * real[i + lane] + imag[i + lane] * imag[i + lane];
            lanes_[lane] += term;
        }
    }
    for (; i < count; ++i) {
        const double term = real[i] * real[i] + imag[i] * imag[i];
        lanes_[0] += term;
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
