// Deciding whether a squared norm lies within 1e-6 of 1 without the slow,
// strictly sequential sum when its verdict is certain anyway.
//
// The defined sum adds each amplitude's re*re + im*im to one accumulator in
// index order: one long chain of dependent additions. Sixteen running sums,
// eight of squared real parts and eight of squared imaginary parts, reach
// almost the same value many times faster, also when two threads sum parts
// of a file apart and merge their sums. To first order the defined sum of n
// amplitudes lies within (n + 2) * 2^-53 * S of the exact sum S and the
// running sums within (n / 8 + 25) * 2^-53 * S (no term passes through more
// additions), so the two differ by less than 2 * (n + 16) * 2^-53 * S. When the fast sum
// is further than that from both edges of the tolerance, the defined sum is
// on the same side, and the verdict is the same bit for bit; otherwise the
// caller computes the defined sum after all.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

namespace kyr {

class FastNormSquared {
public:
    // Adds amplitudes straight from file bytes: (re, im) binary64 pairs.
    void add_interleaved(std::span<const std::byte> pairs) noexcept;
    // Adds what `other` summed, lane by lane.
    void add(const FastNormSquared& other) noexcept;

    // The verdict of |sum - 1| < 1e-6 for the defined sequential sum, or
    // nothing when the fast sum is too close to call.
    std::optional<bool> certain_verdict() const noexcept;

private:
    std::array<double, 16> lanes_{};
    std::size_t count_ = 0;
};

}  // namespace kyr
