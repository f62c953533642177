#include "core/state_file.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace kyr {
namespace {

using Bytes = std::vector<std::byte>;

Bytes bytes_of(std::initializer_list<int> values) {
    Bytes bytes;
    for (const int value : values) {
        bytes.push_back(static_cast<std::byte>(value));
    }
    return bytes;
}

// A well-formed header for `num_qubits` followed by `payload` extra bytes.
Bytes file_of(int num_qubits, std::size_t payload) {
    Bytes bytes = bytes_of({'K', 'Y', 'R', 1, num_qubits, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    bytes.resize(bytes.size() + payload);
    return bytes;
}

std::uint64_t bits_at(const Bytes& bytes, std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= std::uint64_t{std::to_integer<std::uint8_t>(bytes[offset + i])} << (8 * i);
    }
    return value;
}

QuantumState state_with(std::uint64_t num_qubits, std::initializer_list<double> real,
                        std::initializer_list<double> imag) {
    AmplitudeBuffer re = AmplitudeBuffer::uninitialized(real.size());
    AmplitudeBuffer im = AmplitudeBuffer::uninitialized(imag.size());
    std::copy(real.begin(), real.end(), re.data());
    std::copy(imag.begin(), imag.end(), im.data());
    return QuantumState::from_parts(num_qubits, std::move(re), std::move(im));
}

TEST(Encode, FreshOneQubitStateIsTheDocumentedFortyEightBytes) {
    const QuantumState state = *QuantumState::create(1);
    Bytes expected = bytes_of({0x4B, 0x59, 0x52, 0x01, 0x01, 0x40, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
    expected.resize(48);
    EXPECT_EQ(encoded_size(state), 48u);
    EXPECT_EQ(to_bytes(state), expected);
}

TEST(Encode, EncodeIntoWritesTheSameBytesAsToBytes) {
    QuantumState state = *QuantumState::create(5);
    ASSERT_TRUE(state.set_amplitude(31, -0.25, 0.5));
    const Bytes whole = to_bytes(state);
    Bytes target(encoded_size(state), std::byte{0xAA});
    encode_into(state, target);
    EXPECT_EQ(target, whole);
    EXPECT_EQ(whole.size(), 16u + 16u * 32u);
}

struct BondCase {
    std::uint64_t bond_dimension;
    int byte;
};

class EncodeBond : public ::testing::TestWithParam<BondCase> {};

TEST_P(EncodeBond, ClampsToOneUnsignedByte) {
    QuantumState state = *QuantumState::create(1);
    state.set_bond_dimension(GetParam().bond_dimension);
    EXPECT_EQ(to_bytes(state)[5], static_cast<std::byte>(GetParam().byte));
}

INSTANTIATE_TEST_SUITE_P(Cases, EncodeBond,
                         ::testing::Values(BondCase{0, 0}, BondCase{1, 1}, BondCase{254, 254},
                                           BondCase{255, 255}, BondCase{256, 255},
                                           BondCase{1024, 255},
                                           BondCase{std::numeric_limits<std::uint64_t>::max(), 255}));

TEST(Encode, GolayOffIsZeroAndBondZeroReadsBackAsDefault) {
    QuantumState state = *QuantumState::create(1);
    state.set_golay_enabled(false);
    state.set_bond_dimension(0);
    const Bytes bytes = to_bytes(state);
    EXPECT_EQ(bytes[6], std::byte{0});
    const auto decoded = from_bytes(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->golay_enabled());
    EXPECT_EQ(decoded->bond_dimension(), 64u);
}

TEST(Encode, ZeroQubitStateEncodesButDoesNotDecode) {
    const QuantumState state = state_with(0, {1.0}, {0.0});
    const Bytes bytes = to_bytes(state);
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(bytes[4], std::byte{0});
    EXPECT_EQ(bits_at(bytes, 16), std::bit_cast<std::uint64_t>(1.0));
    const auto decoded = from_bytes(bytes);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().message, "Invalid num_qubits: 0");
}

TEST(Encode, UsesTheShorterArray) {
    const QuantumState state = state_with(1, {1.0, 2.0}, {3.0});
    EXPECT_EQ(encoded_size(state), 32u);
    EXPECT_EQ(to_bytes(state).size(), 32u);
}

struct DecodeErrorCase {
    const char* name;
    Bytes input;
    std::string message;
};

class DecodeError : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(DecodeError, FirstFailingCheckWins) {
    const auto decoded = from_bytes(GetParam().input);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().kind, ErrorKind::value);
    EXPECT_EQ(decoded.error().message, GetParam().message);
}

Bytes resized(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

Bytes with_byte(Bytes bytes, std::size_t index, int value) {
    bytes[index] = static_cast<std::byte>(value);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeError,
    ::testing::Values(
        DecodeErrorCase{"Empty", {}, "File too small"},
        DecodeErrorCase{"FifteenValidBytes", resized(file_of(1, 0), 15),
                        "File too small"},
        DecodeErrorCase{"FifteenZeros", Bytes(15), "File too small"},
        DecodeErrorCase{"WrongMagicAndQubits", with_byte(with_byte(file_of(1, 32), 0, 'k'), 4, 0),
                        "Invalid KYR magic number"},
        DecodeErrorCase{"WrongVersionByte", with_byte(file_of(1, 32), 3, 2), "Invalid KYR magic number"},
        DecodeErrorCase{"MagicOrderSwapped", with_byte(with_byte(file_of(1, 32), 0, 'Y'), 1, 'K'),
                        "Invalid KYR magic number"},
        DecodeErrorCase{"ZeroQubits", file_of(0, 16), "Invalid num_qubits: 0"},
        DecodeErrorCase{"ThirtyOneQubits", file_of(31, 0), "Invalid num_qubits: 31"},
        DecodeErrorCase{"TwoHundredFiftyFiveQubits", file_of(255, 0), "Invalid num_qubits: 255"},
        DecodeErrorCase{"HeaderOnly", file_of(1, 0), "File truncated: expected 48 bytes, got 16"},
        DecodeErrorCase{"OneByteShort", file_of(1, 31), "File truncated: expected 48 bytes, got 47"},
        DecodeErrorCase{"ThirtyQubitsHeaderOnly", file_of(30, 0),
                        "File truncated: expected 17179869200 bytes, got 16"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, TrailingBytesAndReservedBytesAreIgnored) {
    Bytes exact = file_of(1, 32);
    exact[16 + 6] = std::byte{0xF0};
    exact[16 + 7] = std::byte{0x3F};
    const auto base = from_bytes(exact);
    ASSERT_TRUE(base);
    Bytes noisy = exact;
    for (std::size_t i = 7; i < 16; ++i) {
        noisy[i] = std::byte{0xFF};
    }
    noisy.resize(100, std::byte{0x7F});
    const auto decoded = from_bytes(noisy);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(to_bytes(*decoded), to_bytes(*base));
    EXPECT_EQ(decoded->real()[0], 1.0);
    EXPECT_FALSE(decoded->source_path().has_value());
    EXPECT_TRUE(decoded->metadata().empty());
}

TEST(Decode, ThirtyQubitsIsAValidCount) {
    // Only the length check can fail, and it runs before any allocation.
    const auto decoded = from_bytes(file_of(30, 1024));
    ASSERT_FALSE(decoded);
    EXPECT_TRUE(decoded.error().message.starts_with("File truncated: "));
}

struct HeaderByteCase {
    int bond_byte;
    int golay_byte;
    std::uint64_t bond_dimension;
    bool golay;
};

class DecodeHeaderBytes : public ::testing::TestWithParam<HeaderByteCase> {};

TEST_P(DecodeHeaderBytes, BondAndGolayBytes) {
    Bytes bytes = file_of(1, 32);
    bytes[5] = static_cast<std::byte>(GetParam().bond_byte);
    bytes[6] = static_cast<std::byte>(GetParam().golay_byte);
    const auto decoded = from_bytes(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->bond_dimension(), GetParam().bond_dimension);
    EXPECT_EQ(decoded->golay_enabled(), GetParam().golay);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecodeHeaderBytes,
                         ::testing::Values(HeaderByteCase{0, 0, 64, false}, HeaderByteCase{1, 1, 1, true},
                                           HeaderByteCase{255, 2, 255, true},
                                           HeaderByteCase{64, 255, 64, true}));

// Random files, with random reserved and trailing bytes, decode and
// re-encode to their first 16 + 16 * 2^n bytes up to the three documented
// normalisations. The input starts at an odd address, so every load is
// unaligned.
TEST(RoundTrip, DecodeThenEncodeGivesTheInputBack) {
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int n = 1; n <= 12; ++n) {
        for (int trial = 0; trial < 8; ++trial) {
            const std::size_t expected_size = 16 + (std::size_t{16} << n);
            Bytes storage(1 + expected_size + static_cast<std::size_t>(trial * 3));
            for (std::byte& b : storage) {
                b = static_cast<std::byte>(byte(rng));
            }
            const std::span<std::byte> input = std::span(storage).subspan(1);
            std::memcpy(input.data(), "KYR\x01", 4);
            input[4] = static_cast<std::byte>(n);
            if (trial == 0) {
                input[5] = std::byte{0};
            }
            const auto decoded = from_bytes(input);
            ASSERT_TRUE(decoded) << n;
            ASSERT_EQ(decoded->real().size(), std::size_t{1} << n);

            Bytes expected(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(expected_size));
            if (expected[5] == std::byte{0}) {
                expected[5] = std::byte{64};
            }
            expected[6] = expected[6] == std::byte{0} ? std::byte{0} : std::byte{1};
            std::fill(expected.begin() + 7, expected.begin() + 16, std::byte{0});
            ASSERT_EQ(to_bytes(*decoded), expected) << n << ' ' << trial;
        }
    }
}

TEST(RoundTrip, SpecialValuesSurviveBitForBit) {
    const std::vector<std::uint64_t> patterns = {
        0x7FF8000000000000,  // quiet NaN
        0xFFF8000000000001,  // negative quiet NaN with payload
        0x7FF0000000000001,  // signalling NaN
        0x7FF0000000000000,  // +inf
        0xFFF0000000000000,  // -inf
        0x8000000000000000,  // -0.0
        0x0000000000000001,  // smallest subnormal
        0x3FF0000000000000,  // 1.0
    };
    const std::size_t count = patterns.size() / 2;  // real, imag per amplitude
    AmplitudeBuffer re = AmplitudeBuffer::uninitialized(count);
    AmplitudeBuffer im = AmplitudeBuffer::uninitialized(count);
    for (std::size_t i = 0; i < count; ++i) {
        re[i] = std::bit_cast<double>(patterns[2 * i]);
        im[i] = std::bit_cast<double>(patterns[2 * i + 1]);
    }
    const QuantumState state = QuantumState::from_parts(2, std::move(re), std::move(im));
    const Bytes bytes = to_bytes(state);
    for (std::size_t k = 0; k < patterns.size(); ++k) {
        EXPECT_EQ(bits_at(bytes, 16 + 8 * k), patterns[k]) << k;
    }
    const auto decoded = from_bytes(bytes);
    ASSERT_TRUE(decoded);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(decoded->real()[i]), patterns[2 * i]) << i;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(decoded->imag()[i]), patterns[2 * i + 1]) << i;
    }
}

}  // namespace
}  // namespace kyr
