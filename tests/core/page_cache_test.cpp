// Which files are streamed past the page cache: those larger than 3/8 of the
// memory, so that a state and its file both fit with a quarter to spare.
#include "core/page_cache.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

namespace kyr {
namespace {

constexpr std::uint64_t gib = std::uint64_t{1} << 30;

class PageCacheThreshold : public ::testing::TestWithParam<std::tuple<std::uint64_t, bool>> {};

TEST_P(PageCacheThreshold, LargerThanThreeEighthsOfMemoryStreamsPast) {
    const ScopedMemorySize machine(8 * gib);
    const auto [file_bytes, streams] = GetParam();
    EXPECT_EQ(streams_past_page_cache(file_bytes), streams);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PageCacheThreshold,
                         ::testing::Values(std::tuple{std::uint64_t{16}, false},
                                           std::tuple{gib, false}, std::tuple{3 * gib, false},
                                           std::tuple{3 * gib + 1, true}, std::tuple{4 * gib, true},
                                           std::tuple{22 * gib, true}));

TEST(PageCache, TheMachinesOwnMemoryWhenNothingStandsIn) {
    EXPECT_FALSE(streams_past_page_cache(std::uint64_t{1} << 20));
    EXPECT_TRUE(streams_past_page_cache(std::uint64_t{1} << 62));
    {
        const ScopedMemorySize tiny(std::uint64_t{1} << 20);
        EXPECT_TRUE(streams_past_page_cache(std::uint64_t{1} << 20));
    }
    EXPECT_FALSE(streams_past_page_cache(std::uint64_t{1} << 20));
}

}  // namespace
}  // namespace kyr
