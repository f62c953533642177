// The fast norm check may answer only where the defined sequential sum would
// give the same verdict, and must defer near the edges of the tolerance.
#include "core/norm_tolerance.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/quantum_state.hpp"
#include "core/state_file.hpp"

namespace kyr {
namespace {

struct Amplitudes {
    std::vector<double> real;
    std::vector<double> imag;

    double defined_sum() const {
        return accumulate_norm_squared(-0.0, real.data(), imag.data(), real.size());
    }
    std::optional<bool> fast_verdict() const {
        std::vector<std::byte> bytes(file_amplitude_bytes * real.size());
        interleave(real, imag, bytes);
        FastNormSquared fast;
        // In uneven pieces, as file chunks arrive.
        constexpr std::size_t piece = 1000 * file_amplitude_bytes;
        for (std::size_t start = 0; start < bytes.size(); start += piece) {
            fast.add_interleaved(std::span(bytes).subspan(start, std::min(piece, bytes.size() - start)));
        }
        return fast.certain_verdict();
    }
};

// Amplitudes of very different sizes (so the order of summing matters) with
// a squared norm close to `target`.
Amplitudes amplitudes_near(double target, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Amplitudes a;
    for (int i = 0; i < 5000; ++i) {
        a.real.push_back(std::ldexp(unit(rng), -(i % 30)));
        a.imag.push_back(std::ldexp(unit(rng), -(i % 17)));
    }
    const double scale = std::sqrt(target / a.defined_sum());
    for (std::size_t i = 0; i < a.real.size(); ++i) {
        a.real[i] *= scale;
        a.imag[i] *= scale;
    }
    return a;
}

bool defined_verdict(const Amplitudes& a) { return std::fabs(a.defined_sum() - 1.0) < 1e-6; }

TEST(FastNormSquared, AnswersOnlyWithTheDefinedVerdict) {
    int answered = 0;
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        for (const double offset : {0.0, 1e-7, 9e-7, 9.9999e-7, 1.0001e-6, 1.1e-6, 1e-5, -9e-7, -1.1e-6, 0.5}) {
            const Amplitudes a = amplitudes_near(1.0 + offset, seed);
            if (const auto verdict = a.fast_verdict()) {
                EXPECT_EQ(*verdict, defined_verdict(a)) << "seed " << seed << " offset " << offset;
                ++answered;
            }
        }
    }
    EXPECT_GT(answered, 300);  // it decides almost everywhere
}

TEST(FastNormSquared, DefersAtTheEdgeOfTheTolerance) {
    for (std::uint64_t seed = 0; seed < 10; ++seed) {
        Amplitudes a = amplitudes_near(1.0, seed);
        // Move the largest amplitude to the last value the defined sum accepts.
        double& moved = *std::max_element(a.real.begin(), a.real.end());
        std::uint64_t low = std::bit_cast<std::uint64_t>(moved);
        std::uint64_t high = std::bit_cast<std::uint64_t>(moved * 1.01);
        moved = std::bit_cast<double>(low);
        ASSERT_TRUE(defined_verdict(a));
        moved = std::bit_cast<double>(high);
        ASSERT_FALSE(defined_verdict(a));
        while (high - low > 1) {
            const std::uint64_t middle = low + (high - low) / 2;
            moved = std::bit_cast<double>(middle);
            (defined_verdict(a) ? low : high) = middle;
        }
        for (const std::uint64_t bits : {low, high}) {
            moved = std::bit_cast<double>(bits);
            EXPECT_FALSE(a.fast_verdict()) << "seed " << seed;
        }
    }
}

TEST(FastNormSquared, NonFiniteTermsAreNeverNormalised) {
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        Amplitudes a = amplitudes_near(1.0, 1);
        a.imag[7] = bad;
        EXPECT_EQ(a.fast_verdict(), std::optional<bool>(false));
    }
}

}  // namespace
}  // namespace kyr
