#include "convert/chunk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <semaphore>
#include <span>
#include <string>
#include <vector>

#include "core/amplitude_buffer.hpp"
#include "core/worker_thread.hpp"

namespace kyr {
namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

std::vector<std::uint8_t> random_bytes(std::size_t length, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(length);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

// The rule written out plainly, independent of the code under test.
double reference_amplitude(std::uint8_t byte, double scale) {
    const double fraction = static_cast<double>(byte) / 255.0;
    return fraction / scale;
}

// Index of the first element whose bits differ (0 if the lengths differ), or
// -1 when identical; -0.0 and +0.0 count as different.
std::ptrdiff_t first_bit_difference(std::span<const double> actual,
                                    std::span<const double> expected) {
    if (actual.size() != expected.size()) {
        return 0;
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(actual[i]) != std::bit_cast<std::uint64_t>(expected[i])) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

std::uint64_t smallest_qubits_for(std::uint64_t length) {
    std::uint64_t q = 1;
    while (q < max_chunk_qubits && (std::uint64_t{1} << q) < length) {
        ++q;
    }
    return q;
}

TEST(ChunkQubits, Table) {
    struct Case {
        std::uint64_t length;
        std::uint64_t qubits;
    };
    const Case cases[] = {
        {0, 1},       {1, 1},       {2, 1},       {3, 2},       {4, 2},
        {5, 3},       {8, 3},       {9, 4},       {1000, 10},   {1024, 10},
        {1025, 11},   {524288, 19}, {524289, 20}, {mib, 20},    {mib + 1, 20},
        {std::uint64_t{1} << 53, 20}, {(std::uint64_t{1} << 53) + 1, 20},
        {std::numeric_limits<std::uint64_t>::max(), 20},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chunk_qubits(c.length), c.qubits) << "length " << c.length;
    }
}

// The floating-point log2 must agree with the integer rule at every length
// up to twice the cap, where rounding of log2 near powers of two would show.
TEST(ChunkQubits, MatchesSmallestPowerOfTwoEverywhere) {
    for (std::uint64_t length = 0; length <= 2 * mib + 1; ++length) {
        ASSERT_EQ(chunk_qubits(length), smallest_qubits_for(length)) << "length " << length;
    }
}

class ChunkToState : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ChunkToState, MatchesReferenceBitForBit) {
    const std::size_t length = GetParam();
    std::vector<std::uint8_t> bytes = random_bytes(length, static_cast<std::uint32_t>(length));
    // Make sure both extremes occur in every chunk long enough to hold them.
    if (length >= 2) {
        bytes[0] = 0xFF;
        bytes[1] = 0x00;
    }
    const QuantumState state = chunk_to_state(bytes);

    const std::uint64_t qubits = smallest_qubits_for(length);
    ASSERT_EQ(state.num_qubits(), qubits);
    const std::size_t dimension = std::size_t{1} << qubits;
    std::vector<double> expected(dimension, 0.0);
    const double scale = std::sqrt(static_cast<double>(length));
    for (std::size_t i = 0; i < std::min(length, dimension); ++i) {
        expected[i] = reference_amplitude(bytes[i], scale);
    }
    EXPECT_EQ(first_bit_difference(state.real(), expected), -1);
    EXPECT_EQ(first_bit_difference(state.imag(), std::vector<double>(dimension, 0.0)), -1);

    EXPECT_EQ(state.bond_dimension(), 64u);
    EXPECT_TRUE(state.golay_enabled());
    EXPECT_FALSE(state.source_path().has_value());
    EXPECT_TRUE(state.metadata().empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, ChunkToState,
                         ::testing::Values(0, 1, 2, 3, 4, 5, 255, 256, 257, 1000, mib, mib + 1),
                         [](const auto& info) { return std::to_string(info.param) + "_bytes"; });

// The worker thread converts the second half of a long chunk; held by
// another job, it leaves the caller to convert everything.
TEST(ChunkToStateExamples, WorkerBusyLeavesTheWholeChunkToTheCaller) {
    const std::vector<std::uint8_t> bytes = random_bytes(mib - 7, 7);
    std::binary_semaphore release{0};
    WorkerJob hold([&] { release.acquire(); });
    const QuantumState state = chunk_to_state(bytes);
    release.release();
    std::vector<double> expected(mib, 0.0);
    const double scale = std::sqrt(static_cast<double>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        expected[i] = reference_amplitude(bytes[i], scale);
    }
    EXPECT_EQ(first_bit_difference(state.real(), expected), -1);
}

TEST(ChunkToStateExamples, SingleFullByte) {
    const std::uint8_t bytes[] = {0xFF};
    const QuantumState state = chunk_to_state(bytes);
    ASSERT_EQ(state.num_qubits(), 1u);
    EXPECT_EQ(state.real()[0], 1.0);
    EXPECT_EQ(state.real()[1], 0.0);
}

TEST(ChunkToStateExamples, TwoFullBytesDividedBySqrtTwo) {
    const std::uint8_t bytes[] = {0xFF, 0xFF};
    const QuantumState state = chunk_to_state(bytes);
    const double expected = (255 / 255.0) / std::sqrt(2.0);
    ASSERT_EQ(state.num_qubits(), 1u);
    EXPECT_EQ(state.real()[0], expected);
    EXPECT_EQ(state.real()[1], expected);
    EXPECT_EQ(state.norm_squared(), expected * expected + expected * expected);
}

TEST(ChunkToStateExamples, ThreeBytesLeaveFourthAmplitudeZero) {
    const std::uint8_t bytes[] = {10, 200, 77};
    const QuantumState state = chunk_to_state(bytes);
    ASSERT_EQ(state.num_qubits(), 2u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(state.real()[i], bytes[i] / 255.0 / std::sqrt(3.0)) << i;
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(state.real()[3]), 0u);
}

TEST(ChunkToStateExamples, AllZeroChunkCannotBeNormalised) {
    const std::vector<std::uint8_t> bytes(1000, 0x00);
    QuantumState state = chunk_to_state(bytes);
    EXPECT_EQ(first_bit_difference(state.real(), std::vector<double>(1024, 0.0)), -1);
    EXPECT_EQ(state.normalize().error().message, "Cannot normalize zero state");
}

TEST(ChunkToStateExamples, BytesBeyondTheCapAreScaledInButNotConverted) {
    std::vector<std::uint8_t> bytes(mib + 1, 0xFF);
    bytes[mib] = 0x00;
    const QuantumState state = chunk_to_state(bytes);
    ASSERT_EQ(state.real().size(), mib);
    const double expected = 1.0 / std::sqrt(1048577.0);
    EXPECT_EQ(state.real()[0], expected);
    EXPECT_EQ(state.real()[mib - 1], expected);
    EXPECT_LT(state.norm_squared(), 1.0);
}

// The bitwise comparisons above only mean something if the data tells the
// rule apart from its tempting shortcuts.
TEST(ChunkToStateExamples, ShortcutFormulasGiveDifferentBits) {
    std::vector<std::uint8_t> bytes(257);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    const QuantumState state = chunk_to_state(bytes);
    const double scale = std::sqrt(257.0);
    bool single_division_differs = false;
    bool reciprocal_differs = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const double byte = bytes[i];
        single_division_differs |= state.real()[i] != byte / (255.0 * scale);
        reciprocal_differs |= state.real()[i] != (byte / 255.0) * (1.0 / scale);
    }
    EXPECT_TRUE(single_division_differs);
    EXPECT_TRUE(reciprocal_differs);
}

// The real array comes uninitialized, possibly from a freed block full of
// old values; every amplitude past the converted bytes must still be +0.0.
TEST(ChunkToStateExamples, UnconvertedTailIsZeroInRecycledMemory) {
    const std::size_t length = mib / 2 + 1;
    for (int round = 0; round < 3; ++round) {
        {
            AmplitudeBuffer garbage = AmplitudeBuffer::uninitialized(mib);
            std::fill(garbage.data(), garbage.data() + mib,
                      -std::numeric_limits<double>::quiet_NaN());
        }
        const QuantumState state = chunk_to_state(std::vector<std::uint8_t>(length, 0x80));
        ASSERT_EQ(state.real().size(), mib);
        const std::span<const double> tail = state.real().subspan(length);
        EXPECT_EQ(first_bit_difference(tail, std::vector<double>(tail.size(), 0.0)), -1);
        EXPECT_EQ(state.real()[length - 1], reference_amplitude(0x80, std::sqrt(static_cast<double>(length))));
    }
}

// Lengths on both sides of the switch from direct division to the table and
// every remainder of the eight-byte loop; offsets misalign input and output;
// the scales include ones that make the results subnormal, where a
// flush-to-zero path would show. Nothing past the count may be written.
TEST(ScaleBytes, MatchesReferenceOnRandomData) {
    const std::vector<std::uint8_t> bytes = random_bytes(mib + 64, 99);
    const double scales[] = {1.0, std::sqrt(3.0), std::sqrt(1048577.0), 1e306, 0.3};
    constexpr double sentinel = -7.25;
    for (const double scale : scales) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            for (std::size_t count = 0; count <= 600; ++count) {
                std::vector<double> out(count + offset + 1, sentinel);
                scale_bytes({bytes.data() + offset, count}, scale, out.data() + offset);
                std::vector<double> expected(out.size(), sentinel);
                for (std::size_t i = 0; i < count; ++i) {
                    expected[offset + i] = reference_amplitude(bytes[offset + i], scale);
                }
                ASSERT_EQ(first_bit_difference(out, expected), -1)
                    << "scale " << scale << " offset " << offset << " count " << count;
            }
        }
        std::vector<double> out(mib + 1, sentinel);
        scale_bytes({bytes.data() + 3, mib}, scale, out.data());
        std::vector<double> expected(mib + 1, sentinel);
        for (std::size_t i = 0; i < mib; ++i) {
            expected[i] = reference_amplitude(bytes[3 + i], scale);
        }
        ASSERT_EQ(first_bit_difference(out, expected), -1) << "scale " << scale;
    }
}

}  // namespace
}  // namespace kyr
