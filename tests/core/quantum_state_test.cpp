#include "core/quantum_state.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace kyr {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

AmplitudeBuffer buffer_of(const std::vector<double>& values) {
    AmplitudeBuffer buffer = AmplitudeBuffer::uninitialized(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        buffer[i] = values[i];
    }
    return buffer;
}

QuantumState state_of(std::uint64_t num_qubits, const std::vector<double>& real,
                      const std::vector<double>& imag) {
    return QuantumState::from_parts(num_qubits, buffer_of(real), buffer_of(imag));
}

// Values with wildly different magnitudes and signs, and now and then a
// special value, so that any change in summation order shows in the bits.
std::vector<double> random_values(std::mt19937_64& rng, std::size_t count, bool specials) {
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-40, 40);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<double> values(count);
    for (double& value : values) {
        const int choice = specials ? pick(rng) : 99;
        if (choice == 0) {
            value = nan_value;
        } else if (choice == 1) {
            value = -inf_value;
        } else if (choice == 2) {
            value = -0.0;
        } else if (choice == 3) {
            value = std::numeric_limits<double>::denorm_min();
        } else {
            value = std::ldexp(mantissa(rng), exponent(rng));
        }
    }
    return values;
}

double reference_norm_squared(const std::vector<double>& re, const std::vector<double>& im) {
    double acc = -0.0;
    for (std::size_t i = 0; i < re.size(); ++i) {
        const double term = re[i] * re[i] + im[i] * im[i];
        acc = acc + term;
    }
    return acc;
}

double reference_fidelity(const std::vector<double>& ar, const std::vector<double>& ai,
                          const std::vector<double>& br, const std::vector<double>& bi) {
    double re = 0.0;
    double im = 0.0;
    for (std::size_t i = 0; i < ar.size(); ++i) {
        const double re_term = ar[i] * br[i] + ai[i] * bi[i];
        const double im_term = ar[i] * bi[i] - ai[i] * br[i];
        re = re + re_term;
        im = im + im_term;
    }
    return re * re + im * im;
}

// --- construction -----------------------------------------------------------

TEST(QuantumStateCreate, OneQubitIsTheZeroBasisStateWithDefaults) {
    const auto state = QuantumState::create(1);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->num_qubits(), 1u);
    EXPECT_EQ(state->dimension(), 2u);
    ASSERT_EQ(state->real().size(), 2u);
    ASSERT_EQ(state->imag().size(), 2u);
    EXPECT_EQ(bits(state->real()[0]), bits(1.0));
    EXPECT_EQ(bits(state->real()[1]), bits(0.0));
    EXPECT_EQ(bits(state->imag()[0]), bits(0.0));
    EXPECT_EQ(bits(state->imag()[1]), bits(0.0));
    EXPECT_EQ(state->bond_dimension(), 64u);
    EXPECT_TRUE(state->golay_enabled());
    EXPECT_FALSE(state->source_path().has_value());
    EXPECT_TRUE(state->metadata().empty());
}

TEST(QuantumStateCreate, ThirtyQubitsIsAccepted) {
    const auto state = QuantumState::create(30);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->real().size(), std::size_t{1} << 30);
    EXPECT_EQ(state->real()[(std::size_t{1} << 30) - 1], 0.0);
}

TEST(QuantumStateCreate, RejectsQubitCountsOutsideOneToThirty) {
    for (const std::uint64_t n : {std::uint64_t{0}, std::uint64_t{31}, std::uint64_t{64},
                                  std::numeric_limits<std::uint64_t>::max()}) {
        const auto state = QuantumState::create(n);
        ASSERT_FALSE(state) << n;
        EXPECT_EQ(state.error().kind, ErrorKind::value);
        EXPECT_EQ(state.error().message, "num_qubits must be 1-30, got " + std::to_string(n));
    }
}

TEST(QuantumStateCreate, FromPartsSetsDefaults) {
    const QuantumState state = state_of(0, {0.5}, {-0.5});
    EXPECT_EQ(state.dimension(), 1u);
    EXPECT_EQ(state.bond_dimension(), 64u);
    EXPECT_TRUE(state.golay_enabled());
    EXPECT_FALSE(state.source_path().has_value());
    EXPECT_TRUE(state.metadata().empty());
}

// --- amplitude access -------------------------------------------------------

TEST(QuantumStateAmplitude, IndicesInsideTheDimensionWork) {
    QuantumState state = *QuantumState::create(2);
    ASSERT_TRUE(state.set_amplitude(3, -0.0, nan_value));
    const auto amplitude = state.get_amplitude(3);
    ASSERT_TRUE(amplitude);
    EXPECT_EQ(bits(amplitude->first), bits(-0.0));
    EXPECT_EQ(bits(amplitude->second), bits(nan_value));
}

TEST(QuantumStateAmplitude, FirstIndexPastTheDimensionIsRejectedForEveryWidth) {
    for (std::uint64_t n = 0; n < 64; ++n) {
        // Out-of-range indices never touch the arrays, so one element each
        // stands in for the 2^n that would not fit in memory.
        QuantumState state = state_of(n, {1.0}, {0.0});
        const std::uint64_t index = std::uint64_t{1} << n;
        const std::string message =
            "Index " + std::to_string(index) + " out of range for " + std::to_string(n) + " qubits";
        const auto got = state.get_amplitude(index);
        ASSERT_FALSE(got) << n;
        EXPECT_EQ(got.error().kind, ErrorKind::value);
        EXPECT_EQ(got.error().message, message);
        const auto set = state.set_amplitude(index, 2.0, 2.0);
        ASSERT_FALSE(set) << n;
        EXPECT_EQ(set.error().message, message);
        EXPECT_EQ(state.real()[0], 1.0);
    }
}

TEST(QuantumStateAmplitude, LastIndexIsAcceptedUpToThirtyQubits) {
    for (std::uint64_t n = 1; n <= 30; ++n) {
        QuantumState state = *QuantumState::create(n);
        const std::uint64_t last = (std::uint64_t{1} << n) - 1;
        ASSERT_TRUE(state.set_amplitude(last, 0.25, -0.5)) << n;
        EXPECT_EQ(*state.get_amplitude(last), (std::pair{0.25, -0.5}));
    }
}

TEST(QuantumStateAmplitude, LargestIndexIsPrintedInFull) {
    const QuantumState state = *QuantumState::create(2);
    const auto got = state.get_amplitude(std::numeric_limits<std::uint64_t>::max());
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "Index 18446744073709551615 out of range for 2 qubits");
    EXPECT_EQ(state.get_amplitude(4).error().message, "Index 4 out of range for 2 qubits");
}

// --- arithmetic against plain reference loops -------------------------------

class QuantumStateArithmetic : public ::testing::TestWithParam<bool> {};

TEST_P(QuantumStateArithmetic, NormAndFidelityMatchReferenceBitForBit) {
    std::mt19937_64 rng(GetParam() ? 7 : 11);
    for (std::uint64_t n = 0; n <= 10; ++n) {
        const std::size_t dim = std::size_t{1} << n;
        const auto ar = random_values(rng, dim, GetParam());
        const auto ai = random_values(rng, dim, GetParam());
        const auto br = random_values(rng, dim, GetParam());
        const auto bi = random_values(rng, dim, GetParam());
        const QuantumState a = state_of(n, ar, ai);
        const QuantumState b = state_of(n, br, bi);
        EXPECT_EQ(bits(a.norm_squared()), bits(reference_norm_squared(ar, ai))) << n;
        EXPECT_EQ(bits(*a.fidelity(b)), bits(reference_fidelity(ar, ai, br, bi))) << n;
        EXPECT_EQ(bits(*a.fidelity(b)), bits(*b.fidelity(a))) << n;
        EXPECT_EQ(bits(*a.fidelity(a)), bits(reference_fidelity(ar, ai, ar, ai))) << n;
    }
}

TEST_P(QuantumStateArithmetic, NormalizeDividesEveryPartByTheNorm) {
    std::mt19937_64 rng(GetParam() ? 13 : 17);
    for (std::uint64_t n = 0; n <= 10; ++n) {
        const std::size_t dim = std::size_t{1} << n;
        const auto re = random_values(rng, dim, GetParam());
        const auto im = random_values(rng, dim, GetParam());
        QuantumState state = state_of(n, re, im);
        const double norm_sq = reference_norm_squared(re, im);
        const auto result = state.normalize();
        if (norm_sq < 1e-15) {
            ASSERT_FALSE(result);
            continue;
        }
        ASSERT_TRUE(result) << n;
        const double norm = std::sqrt(norm_sq);
        for (std::size_t i = 0; i < dim; ++i) {
            ASSERT_EQ(bits(state.real()[i]), bits(re[i] / norm)) << n << ' ' << i;
            ASSERT_EQ(bits(state.imag()[i]), bits(im[i] / norm)) << n << ' ' << i;
        }
    }
}

TEST_P(QuantumStateArithmetic, IsNormalizedIsAStrictComparisonOfTheNorm) {
    std::mt19937_64 rng(GetParam() ? 19 : 23);
    for (std::uint64_t n = 0; n <= 8; ++n) {
        const std::size_t dim = std::size_t{1} << n;
        const auto re = random_values(rng, dim, GetParam());
        const auto im = random_values(rng, dim, GetParam());
        const QuantumState state = state_of(n, re, im);
        const double deviation = std::fabs(reference_norm_squared(re, im) - 1.0);
        for (const double tolerance : {1e-10, 1.0, 1e300, deviation, std::nextafter(deviation, inf_value)}) {
            EXPECT_EQ(state.is_normalized(tolerance), tolerance > deviation) << n << ' ' << tolerance;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FiniteAndSpecialValues, QuantumStateArithmetic, ::testing::Bool());

TEST(QuantumStateNorm, FreshStateHasNormOneAndZeroStateHasPositiveZero) {
    QuantumState state = *QuantumState::create(3);
    EXPECT_EQ(bits(state.norm_squared()), bits(1.0));
    ASSERT_TRUE(state.set_amplitude(0, 0.0, 0.0));
    EXPECT_EQ(bits(state.norm_squared()), bits(0.0));
    const QuantumState negative_zeros = state_of(1, {-0.0, -0.0}, {-0.0, -0.0});
    EXPECT_EQ(bits(negative_zeros.norm_squared()), bits(0.0));
}

TEST(QuantumStateNormalize, ThreeFourIsDividedByFive) {
    QuantumState state = state_of(1, {3.0, 0.0}, {0.0, 4.0});
    ASSERT_TRUE(state.normalize());
    EXPECT_EQ(bits(state.real()[0]), bits(3.0 / 5.0));
    EXPECT_EQ(bits(state.imag()[1]), bits(4.0 / 5.0));
    EXPECT_EQ(bits(state.real()[1]), bits(0.0));
    EXPECT_EQ(bits(state.imag()[0]), bits(0.0));
}

TEST(QuantumStateNormalize, ZeroStateThresholdIsStrictlyBelowOneEMinusFifteen) {
    // x*x lands one ulp below 1e-15; adding (2^-51)^2, exactly that ulp,
    // reaches 1e-15 exactly.
    const double x = std::sqrt(1e-15);
    QuantumState at_threshold = state_of(1, {x, 0x1p-51}, {0.0, 0.0});
    ASSERT_EQ(at_threshold.norm_squared(), 1e-15);
    EXPECT_TRUE(at_threshold.normalize());

    QuantumState below = state_of(1, {x, 0.0}, {0.0, 0.0});
    ASSERT_LT(below.norm_squared(), 1e-15);
    const auto result = below.normalize();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::value);
    EXPECT_EQ(result.error().message, "Cannot normalize zero state");
    EXPECT_EQ(bits(below.real()[0]), bits(x));
}

TEST(QuantumStateNormalize, NaNNormIsNotTreatedAsZero) {
    QuantumState state = state_of(1, {nan_value, 1.0}, {0.0, 0.0});
    EXPECT_TRUE(state.normalize());
    EXPECT_TRUE(std::isnan(state.real()[1]));
}

TEST(QuantumStateIsNormalized, ToleranceEdges) {
    const QuantumState fresh = *QuantumState::create(1);
    EXPECT_TRUE(fresh.is_normalized(1e-10));
    EXPECT_FALSE(fresh.is_normalized(0.0));
    EXPECT_FALSE(fresh.is_normalized(-1.0));
    EXPECT_FALSE(fresh.is_normalized(nan_value));
    const QuantumState off = state_of(1, {std::sqrt(1.0 + 2e-10), 0.0}, {0.0, 0.0});
    EXPECT_FALSE(off.is_normalized(1e-10));
    EXPECT_FALSE(state_of(1, {nan_value, 0.0}, {0.0, 0.0}).is_normalized(inf_value));
}

TEST(QuantumStateFidelity, KnownValuesAndMismatch) {
    const QuantumState two = *QuantumState::create(2);
    const QuantumState three = *QuantumState::create(3);
    const auto mismatch = two.fidelity(three);
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error().kind, ErrorKind::value);
    EXPECT_EQ(mismatch.error().message, "Dimension mismatch: 2 vs 3 qubits");
    EXPECT_EQ(three.fidelity(two).error().message, "Dimension mismatch: 3 vs 2 qubits");
    EXPECT_EQ(*two.fidelity(two), 1.0);
    EXPECT_EQ(*state_of(1, {1.0, 0.0}, {0.0, 0.0}).fidelity(state_of(1, {0.0, 1.0}, {0.0, 0.0})), 0.0);
    const QuantumState scaled = state_of(1, {2.0, 0.0}, {0.0, 0.0});
    EXPECT_EQ(*scaled.fidelity(scaled), 16.0);
}

// --- metadata ---------------------------------------------------------------

TEST(QuantumStateMetadata, SetReplacesAndMissingKeyIsAbsent) {
    QuantumState state = *QuantumState::create(1);
    state.set_metadata("a", "1");
    state.set_metadata("a", "2");
    EXPECT_EQ(state.metadata().size(), 1u);
    EXPECT_EQ(state.get_metadata("a"), "2");
    EXPECT_EQ(state.get_metadata("b"), std::nullopt);
    EXPECT_TRUE(state.summary().ends_with(", 1 metadata entries"));
}

// --- text forms ---------------------------------------------------------------

TEST(QuantumStateText, SummaryAndConstructorForms) {
    QuantumState state = *QuantumState::create(2);
    EXPECT_EQ(state.summary(), "KyrFile: 2 qubits, dim=4, norm=1.000000, 0 metadata entries");
    state.set_bond_dimension(1024);
    state.set_golay_enabled(false);
    EXPECT_EQ(state.constructor_form(), "KyrFile(num_qubits=2, dimension=4, bond_dim=1024, golay=false)");
    EXPECT_EQ(QuantumState::create(3)->constructor_form(),
              "KyrFile(num_qubits=3, dimension=8, bond_dim=64, golay=true)");
    ASSERT_TRUE(state.set_amplitude(1, nan_value, 0.0));
    EXPECT_EQ(state.summary(), "KyrFile: 2 qubits, dim=4, norm=NaN, 0 metadata entries");
    ASSERT_TRUE(state.set_amplitude(1, inf_value, 0.0));
    EXPECT_EQ(state.summary(), "KyrFile: 2 qubits, dim=4, norm=inf, 0 metadata entries");
}

struct FormatCase {
    double value;
    const char* text;
};

class FormatNorm : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatNorm, SixDecimalsRoundedFromTheExactBinaryValue) {
    EXPECT_EQ(format_norm(GetParam().value), GetParam().text);
}

// 2^-7 = 0.0078125 and 3 * 2^-7 / 4 = 0.0234375 are exact ties at the sixth
// decimal; their neighbours one ulp away are not.
INSTANTIATE_TEST_SUITE_P(
    Cases, FormatNorm,
    ::testing::Values(FormatCase{1.0, "1.000000"}, FormatCase{0.0, "0.000000"},
                      FormatCase{std::sqrt(0.5), "0.707107"},
                      FormatCase{0.0078125, "0.007812"},
                      FormatCase{std::nextafter(0.0078125, 1.0), "0.007813"},
                      FormatCase{std::nextafter(0.0078125, 0.0), "0.007812"},
                      FormatCase{0.0234375, "0.023438"},
                      FormatCase{std::nextafter(0.0234375, 0.0), "0.023437"},
                      FormatCase{1.0000005, "1.000001"},  // stored just above the tie
                      FormatCase{0.9999995, "1.000000"},  // stored just above the tie
                      FormatCase{1.0000015, "1.000001"},  // stored just below the tie
                      FormatCase{0.1234565, "0.123456"},  // stored just below the tie
                      FormatCase{1e20, "100000000000000000000.000000"},
                      FormatCase{5e-324, "0.000000"}, FormatCase{nan_value, "NaN"},
                      FormatCase{inf_value, "inf"}));

}  // namespace
}  // namespace kyr
