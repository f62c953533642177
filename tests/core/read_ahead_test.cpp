// Chunked reads with a worker: every chunk handed over exactly as the file
// holds it, also in a child forked while the worker held a chunk, and a
// worker that stops reading once its caller has ended.
#include "core/read_ahead.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/system_calls.hpp"
#include "tests/core/processors.hpp"

namespace kyr {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t chunk_bytes = std::size_t{64} << 10;
constexpr std::size_t chunks = 16;
constexpr std::uint64_t region_start = 16;

class ReadAhead : public ::testing::TestWithParam<Overlap> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kyr-read-ahead-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        bytes_.resize(region_start + chunks * chunk_bytes);
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            bytes_[i] = static_cast<std::byte>((i * 2654435761u) >> 13);
        }
        const std::string target = (dir_ / "region").string();
        std::ofstream(target, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
        fd_ = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        ::close(fd_);
        fs::remove_all(dir_);
    }

    ChunkedRead plan() const { return {region_start, chunks * chunk_bytes, chunk_bytes, GetParam()}; }

    // Whether `out` holds the region exactly.
    bool holds_region(const std::vector<std::byte>& out) const {
        return out.size() == chunks * chunk_bytes &&
               std::memcmp(out.data(), bytes_.data() + region_start, out.size()) == 0;
    }

    fs::path dir_;
    std::vector<std::byte> bytes_;
    int fd_ = -1;
};

// The worker holds a chunk of its own (shared) or has read ahead (read
// ahead) when the caller forks while consuming its first chunk. The child's
// read must still hand over every chunk; a chunk the parent's worker had not
// consumed is taken over.
TEST_P(ReadAhead, ForkedChildReadsTheWholeRegion) {
    if (!workers_can_run()) {
        GTEST_SKIP() << "one processor: no worker takes part";
    }
    const pid_t parent = getpid();
    std::vector<std::byte> out(chunks * chunk_bytes, std::byte{0});
    std::binary_semaphore worker_holds_chunk{0};
    std::binary_semaphore release_worker{0};
    std::atomic<int> caller_chunks{0};
    std::atomic<bool> worker_held{false};
    pid_t child = -1;
    const auto got = read_chunks(
        fd_, plan(),
        [&](std::size_t worker, std::uint64_t offset, std::span<const std::byte> chunk) {
            if (worker == 1 && getpid() == parent && !worker_held.exchange(true)) {
                // Before copying anything: the chunk is lost with this thread.
                worker_holds_chunk.release();
                release_worker.acquire();
            }
            if (worker == 0 && caller_chunks++ == 0) {
                if (GetParam() == Overlap::shared) {
                    worker_holds_chunk.acquire();
                }
                child = fork();
                if (child == 0) {
                    alarm(10);
                } else {
                    release_worker.release();
                }
            }
            std::memcpy(out.data() + offset, chunk.data(), chunk.size());
        },
        never_stop());
    if (child == 0) {
        _exit(got && *got == chunks * chunk_bytes && holds_region(out) ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's read has holes or failed";
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, chunks * chunk_bytes);
    EXPECT_TRUE(holds_region(out));
}

// Counts positioned reads.
class CountingReads : public SystemCalls {
public:
    ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t offset) override {
        reads.fetch_add(1);
        return SystemCalls::pread(fd, buffer, bytes, offset);
    }
    std::atomic<int> reads{0};
};

// A consumer that throws at the second chunk ends the read, and the worker
// reads no further than the two chunks it may hold ahead.
// (Shared chunks are claimed as fast as either thread reads: no such bound.)
class ReadAheadBounded : public ReadAhead {};

TEST_P(ReadAheadBounded, WorkerStopsWhenTheCallerEnds) {
    CountingReads calls;
    ScopedSystemCalls scope(calls);
    int consumed = 0;
    EXPECT_THROW(read_chunks(
                     fd_, plan(),
                     [&](std::size_t worker, std::uint64_t, std::span<const std::byte>) {
                         if (worker == 0 && ++consumed == 2) {
                             throw std::runtime_error("consumer");
                         }
                     },
                     never_stop()),
                 std::runtime_error);
    EXPECT_LE(calls.reads.load(), 3);
    int asked = 0;
    calls.reads = 0;
    const auto stopped = read_chunks(
        fd_, plan(), [](std::size_t, std::uint64_t, std::span<const std::byte>) {},
        [&] { return ++asked > 2; });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, ErrorKind::interrupted);
    EXPECT_LE(calls.reads.load(), 4);
}

INSTANTIATE_TEST_SUITE_P(Overlaps, ReadAhead, ::testing::Values(Overlap::read_ahead, Overlap::shared),
                         [](const auto& info) {
                             return info.param == Overlap::shared ? "Shared" : "ReadAhead";
                         });
INSTANTIATE_TEST_SUITE_P(Overlaps, ReadAheadBounded, ::testing::Values(Overlap::read_ahead));

}  // namespace
}  // namespace kyr
