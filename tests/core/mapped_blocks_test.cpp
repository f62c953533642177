// The stock of freed mappings keeps at most its eight slots, dropping the
// oldest, and hands kept blocks out again. The sanitized build checks every
// slot access (_GLIBCXX_ASSERTIONS), so an overflow aborts there.
#include "core/mapped_blocks.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace kyr {
namespace {

constexpr std::size_t block_bytes = 4096;

TEST(MappedBlocks, StockKeepsTheNewestEightAndHandsThemOutAgain) {
    std::vector<MappedBlock> blocks;
    for (int i = 0; i < 12; ++i) {
        blocks.push_back(map_uninitialized(block_bytes));
        ASSERT_NE(blocks.back().data, nullptr);
    }
    for (const MappedBlock& block : blocks) {
        unmap_or_keep(block);
    }
    std::vector<MappedBlock> again;
    for (int i = 0; i < 12; ++i) {
        again.push_back(map_uninitialized(block_bytes));
        ASSERT_NE(again.back().data, nullptr);
    }
    const auto kept_earlier = [&](const MappedBlock& block, std::size_t from, std::size_t to) {
        return std::any_of(blocks.begin() + static_cast<std::ptrdiff_t>(from),
                           blocks.begin() + static_cast<std::ptrdiff_t>(to),
                           [&](const MappedBlock& old) { return old.data == block.data; });
    };
    // The first eight handed out are the eight freed last; the rest are new
    // (the four oldest were unmapped, so their addresses may come back as
    // new mappings, but never from the stock before the newer ones).
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_TRUE(kept_earlier(again[i], 4, 12)) << i;
        EXPECT_FALSE(again[i].maybe_untouched);
    }
    for (std::size_t i = 8; i < 12; ++i) {
        EXPECT_FALSE(kept_earlier(again[i], 4, 12)) << i;
    }
    for (MappedBlock& block : again) {
        static_cast<char*>(block.data)[block_bytes - 1] = 1;  // writable, whole
        unmap_or_keep(block);
    }
}

TEST(MappedBlocks, ChildForkedWhileAnotherThreadUsesTheStockCanUseIt) {
    // A fork that came while the other thread held the stock would leave it
    // held for good in the child.
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            unmap_or_keep(map_uninitialized(block_bytes));
        }
    });
    int stuck = 0;
    for (int i = 0; i < 100; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(2);
            unmap_or_keep(map_uninitialized(block_bytes));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        stuck += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop = true;
    churn.join();
    EXPECT_EQ(stuck, 0);
}

}  // namespace
}  // namespace kyr
