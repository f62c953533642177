// Chunks shared between the caller and a worker: each done once, also in a
// child forked while the worker held one, and the first failure, a smaller
// value, a stop or a throwing task ending the sharing.
#include "core/shared_chunks.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/posix_file.hpp"
#include "tests/core/processors.hpp"

namespace kyr {
namespace {

constexpr std::uint64_t whole = 1000;

// How often each chunk was done, and by which thread.
struct DoneCounts {
    explicit DoneCounts(std::uint64_t chunks) : times(chunks) {}

    bool each_once() const {
        for (const auto& count : times) {
            if (count.load() != 1) {
                return false;
            }
        }
        return true;
    }

    std::vector<std::atomic<int>> times;
    std::atomic<int> by_worker{0};
};

class SharedChunksCounts : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SharedChunksCounts, EveryChunkIsDoneOnce) {
    const std::uint64_t chunks = GetParam();
    DoneCounts done(chunks);
    const auto got = share_chunks(
        chunks, whole,
        [&](std::size_t worker, std::uint64_t k, const StopCheck&) -> Result<std::uint64_t> {
            done.times[k].fetch_add(1);
            done.by_worker.fetch_add(worker == 1 ? 1 : 0);
            // Slow enough that a worker wakes before the caller is through.
            usleep(1000);
            return whole;
        },
        never_stop());
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, whole);
    EXPECT_TRUE(done.each_once());
    if (chunks >= 64 && workers_can_run()) {
        EXPECT_GT(done.by_worker.load(), 0) << "the worker never took a chunk";
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, SharedChunksCounts, ::testing::Values(0, 1, 2, 17, 64));

// The worker holds a chunk when the caller forks while doing its first one.
// The child has no worker: it must do that chunk again, and every chunk
// nobody had taken.
TEST(SharedChunks, ForkedChildDoesTheChunkTheWorkerHeld) {
    if (!workers_can_run()) {
        GTEST_SKIP() << "one processor: no worker takes part";
    }
    constexpr std::uint64_t chunks = 16;
    const pid_t parent = getpid();
    DoneCounts done(chunks);
    std::binary_semaphore worker_holds_chunk{0};
    std::binary_semaphore release_worker{0};
    std::atomic<bool> worker_held{false};
    std::atomic<int> caller_chunks{0};
    pid_t child = -1;
    const auto got = share_chunks(
        chunks, whole,
        [&](std::size_t worker, std::uint64_t k, const StopCheck&) -> Result<std::uint64_t> {
            if (worker == 1 && getpid() == parent && !worker_held.exchange(true)) {
                // Before doing anything: the chunk is lost with this thread.
                worker_holds_chunk.release();
                release_worker.acquire();
            }
            if (worker == 0 && caller_chunks++ == 0) {
                worker_holds_chunk.acquire();
                child = fork();
                if (child == 0) {
                    alarm(10);
                } else {
                    release_worker.release();
                }
            }
            done.times[k].fetch_add(1);
            return whole;
        },
        never_stop());
    if (child == 0) {
        _exit(got && *got == whole && done.each_once() ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child left a chunk undone, or did one twice";
    ASSERT_TRUE(got);
    EXPECT_TRUE(done.each_once());
}

// What ends the sharing early, on either thread.
enum class Ending { failure, smaller_value, exception };

struct EarlyEnding {
    Ending ending;
    std::size_t on_worker;
};

class SharedChunksEndings : public ::testing::TestWithParam<EarlyEnding> {};

TEST_P(SharedChunksEndings, EndTheTakingOfChunks) {
    const auto [ending, on_worker] = GetParam();
    if (on_worker == 1 && !workers_can_run()) {
        GTEST_SKIP() << "one processor: no worker takes part";
    }
    constexpr std::uint64_t chunks = 400;
    std::atomic<int> taken{0};
    std::atomic<bool> ended{false};
    std::atomic<int> taken_after_end{0};
    const ChunkTask task = [&](std::size_t worker, std::uint64_t, const StopCheck&) -> Result<std::uint64_t> {
        taken_after_end.fetch_add(ended.load() ? 1 : 0);
        // Long enough that the other thread cannot start a second chunk
        // between the ending one and the end of the taking.
        usleep(1000);
        if (worker == on_worker && ++taken > 3 && !ended.exchange(true)) {
            switch (ending) {
            case Ending::failure:
                return os_failure(IoDirection::write, ENOSPC);
            case Ending::smaller_value:
                return 7;
            case Ending::exception:
                throw std::runtime_error("task");
            }
        }
        return whole;
    };
    if (ending == Ending::exception) {
        EXPECT_THROW((void)share_chunks(chunks, whole, task, never_stop()), std::runtime_error);
    } else {
        const auto got = share_chunks(chunks, whole, task, never_stop());
        if (ending == Ending::failure) {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, "Write error: No space left on device (os error 28)");
        } else {
            ASSERT_TRUE(got);
            EXPECT_EQ(*got, 7u);
        }
    }
    EXPECT_TRUE(ended.load()) << "the ending chunk was never taken";
    // The other thread finishes at most the chunk it holds.
    EXPECT_LE(taken_after_end.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, SharedChunksEndings,
    ::testing::Values(EarlyEnding{Ending::failure, 0}, EarlyEnding{Ending::failure, 1},
                      EarlyEnding{Ending::smaller_value, 0}, EarlyEnding{Ending::smaller_value, 1},
                      EarlyEnding{Ending::exception, 0}, EarlyEnding{Ending::exception, 1}),
    [](const auto& info) {
        const std::string name = info.param.ending == Ending::failure         ? "Failure"
                                 : info.param.ending == Ending::smaller_value ? "SmallerValue"
                                                                              : "Exception";
        return name + (info.param.on_worker == 1 ? "OnWorker" : "OnCaller");
    });

TEST(SharedChunks, StopCheckEndsTheCallersShare) {
    int asked = 0;
    std::atomic<int> done{0};
    const auto got = share_chunks(
        1000, whole,
        [&](std::size_t, std::uint64_t, const StopCheck&) -> Result<std::uint64_t> {
            done.fetch_add(1);
            return whole;
        },
        [&] { return ++asked > 3; });
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, ErrorKind::interrupted);
    EXPECT_LT(done.load(), 1000);
}

}  // namespace
}  // namespace kyr
