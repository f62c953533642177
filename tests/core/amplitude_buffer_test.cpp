#include "core/amplitude_buffer.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/mapped_blocks.hpp"

namespace kyr {
namespace {

constexpr std::size_t mib_of_doubles = (std::size_t{1} << 20) / sizeof(double);

void fill_with_nan(AmplitudeBuffer& buffer) {
    std::fill(buffer.data(), buffer.data() + buffer.size(), -std::numeric_limits<double>::quiet_NaN());
}

// Whether the page holding `address` is still mapped in this process.
bool is_mapped(const void* address) {
    const auto page = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{4095};
    unsigned char resident = 0;
    return mincore(reinterpret_cast<void*>(page), 4096, &resident) == 0 || errno != ENOMEM;
}

class AmplitudeBufferSizes : public ::testing::TestWithParam<std::size_t> {};

// Sizes served by the C allocator, by kept mappings, and by huge-page ones.
INSTANTIATE_TEST_SUITE_P(SmallToLarge, AmplitudeBufferSizes,
                         ::testing::Values(std::size_t{3}, std::size_t{8191}, std::size_t{8192},
                                           mib_of_doubles / 2 + 1, 5 * mib_of_doubles));

// Freed uninitialized buffers are handed out again with their old contents;
// a zero-filled buffer of the same size must never be one of them.
TEST_P(AmplitudeBufferSizes, ZeroedIsZeroAfterFreeingDirtyBuffers) {
    const std::size_t count = GetParam();
    for (int round = 0; round < 3; ++round) {
        {
            AmplitudeBuffer dirty = AmplitudeBuffer::uninitialized(count);
            fill_with_nan(dirty);
        }
        const AmplitudeBuffer zero = AmplitudeBuffer::zeroed(count);
        ASSERT_EQ(zero.size(), count);
        EXPECT_TRUE(std::all_of(zero.data(), zero.data() + count,
                                [](double v) { return std::bit_cast<std::uint64_t>(v) == 0; }));
    }
}

// The point of keeping freed mappings: the next buffer of that size is the
// same memory, already faulted in.
TEST(AmplitudeBufferReuse, FreedMappingIsHandedOutAgain) {
    const std::size_t count = 2 * mib_of_doubles;
    const double* first = nullptr;
    {
        AmplitudeBuffer buffer = AmplitudeBuffer::uninitialized(count);
        first = buffer.data();
        buffer[count - 1] = 42.5;
    }
    const AmplitudeBuffer again = AmplitudeBuffer::uninitialized(count);
    EXPECT_EQ(again.data(), first);
    EXPECT_EQ(again[count - 1], 42.5);
}

// A zero-filled mapping may never have been written; handing it out for a
// buffer that is written whole would fault every page in again.
TEST(AmplitudeBufferReuse, WrittenMappingIsPreferredToAZeroFilledOne) {
    const std::size_t count = 4 * mib_of_doubles;
    const double* written = nullptr;
    {
        AmplitudeBuffer buffer = AmplitudeBuffer::uninitialized(count);
        std::fill(buffer.data(), buffer.data() + count, 1.0);
        written = buffer.data();
        AmplitudeBuffer untouched = AmplitudeBuffer::zeroed(count);
    }  // both kept, the zero-filled one freed first
    const AmplitudeBuffer again = AmplitudeBuffer::uninitialized(count);
    EXPECT_EQ(again.data(), written);
}

// Kept mappings stay within the stock's limit: a larger buffer is returned
// to the system at once, and so is the oldest kept one when more arrive.
TEST(AmplitudeBufferReuse, FreedMemoryBeyondTheLimitIsUnmapped) {
    const std::size_t limit_count = stock_limit_bytes / sizeof(double);
    const double* huge = nullptr;
    {
        AmplitudeBuffer buffer = AmplitudeBuffer::uninitialized(limit_count + 1);
        fill_with_nan(buffer);
        huge = buffer.data();
    }
    EXPECT_FALSE(is_mapped(huge));

    std::vector<AmplitudeBuffer> buffers;
    for (int i = 0; i < 5; ++i) {
        buffers.push_back(AmplitudeBuffer::uninitialized(limit_count / 4));
        fill_with_nan(buffers.back());
    }
    const double* oldest = buffers.front().data();
    const double* newest = buffers.back().data();
    buffers.clear();  // frees in order: the first one is the oldest kept
    EXPECT_FALSE(is_mapped(oldest));
    EXPECT_TRUE(is_mapped(newest));
}

}  // namespace
}  // namespace kyr
