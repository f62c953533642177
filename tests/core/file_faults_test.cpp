// Faults of the operating system made deterministic through the replaceable
// system calls: partial transfers, EINTR, a failing close, a file that ends
// early, a directory that refuses new files, and stop requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <semaphore>
#include <string>
#include <vector>

#include "core/disk_io.hpp"
#include "core/page_cache.hpp"
#include "core/posix_file.hpp"
#include "core/state_file.hpp"
#include "core/system_calls.hpp"
#include "core/worker_thread.hpp"

namespace kyr {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

Bytes read_bytes(const std::string& target) {
    std::ifstream in(target, std::ios::binary);
    const std::vector<char> chars{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Bytes bytes(chars.size());
    std::memcpy(bytes.data(), chars.data(), chars.size());
    return bytes;
}

// A state of `num_qubits` with no two amplitudes alike. From 15 qubits on,
// a load or verify shares the file's chunks between the caller and the
// worker thread.
QuantumState distinct_state(std::uint64_t num_qubits) {
    QuantumState state = *QuantumState::create(num_qubits);
    for (std::uint64_t i = 0; i < state.dimension(); ++i) {
        EXPECT_TRUE(state.set_amplitude(i, 1.0 / static_cast<double>(i + 1), -static_cast<double>(i)));
    }
    return state;
}

QuantumState large_state() {
    QuantumState state = distinct_state(22);
    EXPECT_GT(encoded_size(state), 8 * disk_chunk_bytes);
    return state;
}

QuantumState small_state() {
    QuantumState state = *QuantumState::create(6);
    for (std::uint64_t i = 0; i < state.dimension(); ++i) {
        EXPECT_TRUE(state.set_amplitude(i, static_cast<double>(i) + 0.5, 2.0 - static_cast<double>(i)));
    }
    return state;
}

void expect_same_amplitudes(const QuantumState& got, const QuantumState& want) {
    ASSERT_EQ(got.real().size(), want.real().size());
    EXPECT_EQ(std::memcmp(got.real().data(), want.real().data(), want.real().size_bytes()), 0);
    EXPECT_EQ(std::memcmp(got.imag().data(), want.imag().data(), want.imag().size_bytes()), 0);
}

class FileFaults : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kyr-faults-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // The names in the test directory, so a leftover temporary file shows.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // A good file that a failed save must leave exactly as it is.
    std::string previous_file() {
        QuantumState previous = *QuantumState::create(3);
        const std::string target = path("state.kyr");
        EXPECT_TRUE(write_state_file(previous, target));
        previous_bytes_ = read_bytes(target);
        return target;
    }

    void expect_previous_file_untouched(const std::string& target) const {
        EXPECT_EQ(read_bytes(target), previous_bytes_);
        EXPECT_EQ(listing(), std::vector<std::string>{"state.kyr"});
    }

    fs::path dir_;
    Bytes previous_bytes_;
};

// --- partial transfers ------------------------------------------------------

// Moves at most `limit` bytes per read or write, as pipes, signals and some
// filesystems do.
class ShortTransfers : public SystemCalls {
public:
    explicit ShortTransfers(std::size_t limit) : limit_(limit) {}
    ssize_t read(int fd, void* buffer, std::size_t bytes) override {
        return SystemCalls::read(fd, buffer, std::min(bytes, limit_));
    }
    ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t offset) override {
        return SystemCalls::pread(fd, buffer, std::min(bytes, limit_), offset);
    }
    ssize_t write(int fd, const void* buffer, std::size_t bytes) override {
        return SystemCalls::write(fd, buffer, std::min(bytes, limit_));
    }
    ssize_t pwrite(int fd, const void* buffer, std::size_t bytes, off_t offset) override {
        return SystemCalls::pwrite(fd, buffer, std::min(bytes, limit_), offset);
    }

private:
    std::size_t limit_;
};

class FileFaultsShortTransfers : public FileFaults, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FileFaultsShortTransfers, SaveLoadAndVerifyStayExact) {
    // Tiny transfers on a small state; odd ones on states whose chunks the
    // caller and the worker share.
    const std::size_t limit = GetParam();
    QuantumState state = limit < 4096         ? small_state()
                         : limit < (1 << 20) ? distinct_state(19)
                                             : large_state();
    const std::string target = path("state.kyr");
    ShortTransfers calls(limit);
    ScopedSystemCalls scope(calls);

    ASSERT_TRUE(write_state_file(state, target));
    EXPECT_EQ(read_bytes(target), to_bytes(state));
    const auto loaded = read_state_file(target);
    ASSERT_TRUE(loaded) << loaded.error().message;
    expect_same_amplitudes(*loaded, state);
    ASSERT_TRUE(state.normalize());
    ASSERT_TRUE(write_state_file(state, target));
    EXPECT_TRUE(verify_state_file(target).value());
}

INSTANTIATE_TEST_SUITE_P(Limits, FileFaultsShortTransfers,
                         ::testing::Values(std::size_t{7}, std::size_t{65536 + 3},
                                           std::size_t{(1 << 20) + 3}));

class ZeroWrites : public SystemCalls {
public:
    ssize_t write(int, const void*, std::size_t) override { return 0; }
};

TEST_F(FileFaults, WriteThatMovesNothingFailsAndKeepsThePreviousFile) {
    const std::string target = previous_file();
    QuantumState state = small_state();
    ZeroWrites calls;
    ScopedSystemCalls scope(calls);
    const auto written = write_state_file(state, target);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, "Write error: failed to write whole buffer");
    EXPECT_FALSE(state.source_path());
    expect_previous_file_untouched(target);
}

// --- writes shared with the worker -------------------------------------------

// Positioned writes at or past `from` fail with `code`, on whichever thread.
class FailingPositionedWrites : public SystemCalls {
public:
    FailingPositionedWrites(std::uint64_t from, int code) : from_(from), code_(code) {}
    ssize_t pwrite(int fd, const void* buffer, std::size_t bytes, off_t offset) override {
        if (static_cast<std::uint64_t>(offset) + bytes > from_) {
            errno = code_;
            return -1;
        }
        return SystemCalls::pwrite(fd, buffer, bytes, offset);
    }

private:
    std::uint64_t from_;
    int code_;
};

class FileFaultsSharedWrite : public FileFaults, public ::testing::WithParamInterface<std::uint64_t> {};

// A 20-qubit file is written in 33 chunks of 512 KiB by the caller and the
// worker: a failure in the first chunk, a later one, or the last 16 bytes
// fails the save and leaves the previous file.
TEST_P(FileFaultsSharedWrite, FailureInAnyChunkKeepsThePreviousFile) {
    const std::string target = previous_file();
    QuantumState state = distinct_state(20);
    FailingPositionedWrites calls(GetParam(), ENOSPC);
    ScopedSystemCalls scope(calls);
    const auto written = write_state_file(state, target);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, "Write error: No space left on device (os error 28)");
    EXPECT_FALSE(state.source_path());
    expect_previous_file_untouched(target);
}

INSTANTIATE_TEST_SUITE_P(Offsets, FileFaultsSharedWrite,
                         ::testing::Values(std::uint64_t{0}, std::uint64_t{(5 << 19) + 100},
                                           (std::uint64_t{16} << 20) + 15));

// Every other positioned write is interrupted before moving anything, on
// whichever thread makes it.
class InterruptingPositionedWrites : public SystemCalls {
public:
    ssize_t pwrite(int fd, const void* buffer, std::size_t bytes, off_t offset) override {
        if (calls_.fetch_add(1) % 2 == 0) {
            interruptions.fetch_add(1);
            errno = EINTR;
            return -1;
        }
        return SystemCalls::pwrite(fd, buffer, bytes, offset);
    }
    std::atomic<int> interruptions{0};

private:
    std::atomic<int> calls_{0};
};

TEST_F(FileFaults, InterruptedSharedWritesGoOnOrEndAsTheStopCheckSays) {
    const std::string target = previous_file();
    QuantumState state = distinct_state(20);
    InterruptingPositionedWrites calls;
    ScopedSystemCalls scope(calls);
    const auto stopped = write_state_file(state, target, [&] { return calls.interruptions.load() > 0; });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, ErrorKind::interrupted);
    expect_previous_file_untouched(target);

    ASSERT_TRUE(write_state_file(state, target, [] { return false; }));
    EXPECT_EQ(read_bytes(target), to_bytes(state));
    EXPECT_GT(calls.interruptions.load(), 30);
}

// --- a file that ends before its size said ----------------------------------

// Reports the end of every file after `available` bytes, as if it had been
// truncated after its size was taken.
class EndsEarly : public SystemCalls {
public:
    explicit EndsEarly(std::size_t available) : available_(available) {}
    ssize_t read(int fd, void* buffer, std::size_t bytes) override {
        std::size_t& done = done_[fd];
        const ssize_t got = SystemCalls::read(fd, buffer, std::min(bytes, available_ - done));
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        }
        return got;
    }
    ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t offset) override {
        const auto start = static_cast<std::size_t>(offset);
        return start >= available_ ? 0 : SystemCalls::pread(fd, buffer, std::min(bytes, available_ - start), offset);
    }
    int close(int fd) override {
        done_.erase(fd);
        return SystemCalls::close(fd);
    }

private:
    std::size_t available_;
    std::map<int, std::size_t> done_;
};

struct EarlyEnd {
    std::uint64_t num_qubits;
    std::size_t available;
};

class FileFaultsEndsEarly : public FileFaults, public ::testing::WithParamInterface<EarlyEnd> {};

TEST_P(FileFaultsEndsEarly, LoadReportsTheBytesReallyRead) {
    const std::size_t available = GetParam().available;
    QuantumState state = distinct_state(GetParam().num_qubits);
    const std::string target = path("state.kyr");
    ASSERT_TRUE(write_state_file(state, target));
    EndsEarly calls(available);
    ScopedSystemCalls scope(calls);

    const std::string message = "File truncated: expected " +
                                std::to_string(encoded_size(state)) + " bytes, got " +
                                std::to_string(available);
    const auto loaded = read_state_file(target);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::value);
    EXPECT_EQ(loaded.error().message, message);
    EXPECT_FALSE(verify_state_file(target).value());
}

// Inside a small file read on one thread; in files whose chunks the caller
// and the worker share: inside the last 64 KiB chunk (15 qubits); inside a
// later 256 KiB chunk, at a chunk seam, inside a later chunk and one byte
// short (19 qubits); inside the first chunk, at 4 MiB, past it, and one byte
// short (22 qubits).
constexpr std::size_t amplitude_bytes_of_22 = std::size_t{16} << 22;
INSTANTIATE_TEST_SUITE_P(
    Offsets, FileFaultsEndsEarly,
    ::testing::Values(EarlyEnd{6, 1000}, EarlyEnd{15, 16 + 7 * (std::size_t{64} << 10) + 100},
                      EarlyEnd{19, 16 + (std::size_t{512} << 10) + 5},
                      EarlyEnd{19, 16 + (std::size_t{4} << 20)},
                      EarlyEnd{19, 16 + (std::size_t{6} << 20) + 7},
                      EarlyEnd{19, 16 + (std::size_t{16} << 19) - 1}, EarlyEnd{22, 1000},
                      EarlyEnd{22, 16 + disk_chunk_bytes}, EarlyEnd{22, 16 + disk_chunk_bytes + 12345},
                      EarlyEnd{22, 16 + amplitude_bytes_of_22 - 1}),
    [](const auto& info) {
        return std::to_string(info.param.num_qubits) + "Qubits" + std::to_string(info.param.available) +
               "Bytes";
    });

// --- interrupted system calls -----------------------------------------------

// Every other open, read and write is interrupted by a signal before doing
// anything.
class Interrupting : public SystemCalls {
public:
    int open(const char* path, int flags, mode_t mode) override {
        return interrupt() ? -1 : SystemCalls::open(path, flags, mode);
    }
    ssize_t read(int fd, void* buffer, std::size_t bytes) override {
        return interrupt() ? -1 : SystemCalls::read(fd, buffer, bytes);
    }
    ssize_t write(int fd, const void* buffer, std::size_t bytes) override {
        return interrupt() ? -1 : SystemCalls::write(fd, buffer, bytes);
    }
    int interruptions() const { return interruptions_; }

private:
    bool interrupt() {
        if ((toggle_ = !toggle_)) {
            ++interruptions_;
            errno = EINTR;
            return true;
        }
        return false;
    }
    bool toggle_ = false;
    int interruptions_ = 0;
};

TEST_F(FileFaults, InterruptedCallsAreRetriedWhenNothingAsksToStop) {
    QuantumState state = small_state();
    const std::string target = path("state.kyr");
    Interrupting calls;
    ScopedSystemCalls scope(calls);
    int asked = 0;
    const StopCheck keep_going = [&] {
        ++asked;
        return false;
    };
    ASSERT_TRUE(write_state_file(state, target, keep_going));
    EXPECT_EQ(read_bytes(target), to_bytes(state));
    const auto loaded = read_state_file(target, keep_going);
    ASSERT_TRUE(loaded) << loaded.error().message;
    expect_same_amplitudes(*loaded, state);
    EXPECT_GT(calls.interruptions(), 3);
    EXPECT_GE(asked, calls.interruptions());
}

TEST_F(FileFaults, InterruptedCallEndsTheOperationWhenAskedToStop) {
    const std::string target = previous_file();
    QuantumState state = small_state();
    Interrupting calls;
    ScopedSystemCalls scope(calls);
    const StopCheck stop_on_signal = [&] { return calls.interruptions() > 0; };

    const auto written = write_state_file(state, target, stop_on_signal);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind, ErrorKind::interrupted);
    expect_previous_file_untouched(target);
    const auto loaded = read_state_file(target, stop_on_signal);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::interrupted);
    const auto verified = verify_state_file(target, stop_on_signal);
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().kind, ErrorKind::interrupted);
}

// --- stop requests between chunks -------------------------------------------

class FileFaultsStopAfter : public FileFaults, public ::testing::WithParamInterface<int> {};

TEST_P(FileFaultsStopAfter, LongOperationsEndAtTheNextChunk) {
    const int allowed = GetParam();
    QuantumState state = large_state();
    const std::string target = path("state.kyr");
    ASSERT_TRUE(write_state_file(state, target));
    const Bytes before = read_bytes(target);
    int asked = 0;
    const StopCheck stop_later = [&] { return ++asked > allowed; };

    const auto written = write_state_file(state, target, stop_later);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind, ErrorKind::interrupted);
    EXPECT_EQ(read_bytes(target), before);
    EXPECT_EQ(listing(), std::vector<std::string>{"state.kyr"});
    // A cached file's chunks are shared with the worker thread, which does
    // not check: it may read every chunk left while the caller is held up
    // (as on a busy machine), and the read then ends whole. Held by another
    // job, the worker leaves every chunk to the caller.
    std::binary_semaphore release{0};
    WorkerJob hold([&] { release.acquire(); });
    struct Release {
        std::binary_semaphore& release;
        ~Release() { release.release(); }
    } release_on_exit{release};
    asked = 0;
    const auto loaded = read_state_file(target, stop_later);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::interrupted);
    asked = 0;
    const auto verified = verify_state_file(target, stop_later);
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().kind, ErrorKind::interrupted);
}

INSTANTIATE_TEST_SUITE_P(Checks, FileFaultsStopAfter, ::testing::Values(0, 1));

// --- files streamed past the page cache -------------------------------------

// Files of 21 qubits (32 MiB) are read around the page cache in two chunks
// when the machine seems to have 1 MiB of memory.
constexpr std::uint64_t direct_read_qubits = 21;

bool reads_directly(int fd) { return (fcntl(fd, F_GETFL) & O_DIRECT) != 0; }

// Refuses direct reads at an offset, address or length that is not a
// multiple of 4096, as a strict filesystem may; some check only when there
// is something left to read.
class StrictDirectReads : public SystemCalls {
public:
    ssize_t read(int fd, void* buffer, std::size_t bytes) override {
        return direct_read(fd, buffer, bytes, lseek(fd, 0, SEEK_CUR), false);
    }
    ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t offset) override {
        return direct_read(fd, buffer, bytes, offset, true);
    }

protected:
    // Every read, with or without its own offset, comes here.
    virtual ssize_t direct_read(int fd, void* buffer, std::size_t bytes, off_t offset, bool positioned) {
        if (reads_directly(fd) &&
            ((static_cast<std::uint64_t>(offset) | reinterpret_cast<std::uintptr_t>(buffer) | bytes) % 4096) != 0) {
            errno = EINVAL;
            return -1;
        }
        return positioned ? SystemCalls::pread(fd, buffer, bytes, offset) : SystemCalls::read(fd, buffer, bytes);
    }
};

// Counts the reads made around the page cache and, when asked, refuses them
// as a device with larger blocks than the reader's alignment does.
class DirectReadWatch : public StrictDirectReads {
public:
    explicit DirectReadWatch(bool refuse) : refuse_(refuse) {}
    std::atomic<int> direct_reads{0};

private:
    ssize_t direct_read(int fd, void* buffer, std::size_t bytes, off_t offset, bool positioned) override {
        if (reads_directly(fd)) {
            ++direct_reads;
            if (refuse_) {
                errno = EINVAL;
                return -1;
            }
        }
        return StrictDirectReads::direct_read(fd, buffer, bytes, offset, positioned);
    }

    bool refuse_;
};

// Cuts the file at `path` to `length` bytes just before the first read around
// the page cache, as another process truncating it while it is read would.
class TruncatedWhileRead : public StrictDirectReads {
public:
    TruncatedWhileRead(std::string path, std::uint64_t length)
        : path_(std::move(path)), length_(length) {}
    void rearm() { truncated_ = false; }

private:
    ssize_t direct_read(int fd, void* buffer, std::size_t bytes, off_t offset, bool positioned) override {
        if (reads_directly(fd) && !truncated_.exchange(true)) {
            EXPECT_EQ(truncate(path_.c_str(), static_cast<off_t>(length_)), 0);
        }
        return StrictDirectReads::direct_read(fd, buffer, bytes, offset, positioned);
    }

    std::string path_;
    std::uint64_t length_;
    std::atomic<bool> truncated_{false};
};

class FileFaultsPastPageCache : public FileFaults {
protected:
    void SetUp() override {
        FileFaults::SetUp();
        state_ = distinct_state(direct_read_qubits);
        ASSERT_TRUE(state_.normalize());
        target_ = path("state.kyr");
        ASSERT_TRUE(write_state_file(state_, target_));
        const int fd = ::open(target_.c_str(), O_RDONLY | O_DIRECT);
        if (fd < 0) {
            GTEST_SKIP() << "no direct reads on this filesystem";
        }
        ::close(fd);
    }

    ScopedMemorySize small_machine_{std::uint64_t{1} << 20};
    QuantumState state_ = *QuantumState::create(1);
    std::string target_;
};

TEST_F(FileFaultsPastPageCache, LoadAndVerifyReadAroundTheCache) {
    EXPECT_TRUE(streams_past_page_cache(encoded_size(state_)));
    EXPECT_EQ(read_bytes(target_), to_bytes(state_));  // written with writeback behind
    for (const bool refuse : {false, true}) {
        DirectReadWatch calls(refuse);
        ScopedSystemCalls scope(calls);
        const auto loaded = read_state_file(target_);
        ASSERT_TRUE(loaded) << loaded.error().message;
        expect_same_amplitudes(*loaded, state_);
        EXPECT_GT(calls.direct_reads, 0);
        // Refused direct reads fall back to reading through the cache.
        const auto verified = verify_state_file(target_);
        EXPECT_TRUE(verified.value_or(false)) << refuse;
    }
}

class FileFaultsCutPastPageCache : public FileFaultsPastPageCache,
                                   public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(FileFaultsCutPastPageCache, LoadReportsTheBytesReallyRead) {
    const std::uint64_t length = GetParam();
    TruncatedWhileRead calls(target_, length);
    ScopedSystemCalls scope(calls);
    const auto loaded = read_state_file(target_);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().message, "File truncated: expected " +
                                          std::to_string(encoded_size(state_)) + " bytes, got " +
                                          std::to_string(length));
    ASSERT_TRUE(write_state_file(state_, target_));
    calls.rearm();
    EXPECT_FALSE(verify_state_file(target_).value());
}

// Inside the first chunk, at a seam of two, inside a later one, where only
// the last amplitude (read through the cache) is missing, one byte short.
constexpr std::uint64_t direct_file_bytes = 16 + (std::uint64_t{16} << direct_read_qubits);
INSTANTIATE_TEST_SUITE_P(Lengths, FileFaultsCutPastPageCache,
                         ::testing::Values(1016, std::uint64_t{16} << 20,
                                           (std::uint64_t{16} << 20) + 3 * 4096 + 5,
                                           direct_file_bytes - 16, direct_file_bytes - 1));

TEST_F(FileFaultsPastPageCache, StopRequestEndsTheRead) {
    int asked = 0;
    const StopCheck stop_later = [&] { return ++asked > 1; };
    const auto loaded = read_state_file(target_, stop_later);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ErrorKind::interrupted);
}

// --- close and directory failures -------------------------------------------

// close() of a descriptor opened for writing reports a deferred write error,
// as NFS and quotas do.
class FailingClose : public SystemCalls {
public:
    int open(const char* path, int flags, mode_t mode) override {
        return watch(SystemCalls::open(path, flags, mode), flags);
    }
    int openat(int directory, const char* path, int flags, mode_t mode) override {
        return watch(SystemCalls::openat(directory, path, flags, mode), flags);
    }
    int close(int fd) override {
        const bool writer = std::erase(writers_, fd) > 0;
        SystemCalls::close(fd);
        if (writer) {
            errno = EIO;
            return -1;
        }
        return 0;
    }

private:
    int watch(int fd, int flags) {
        if (fd >= 0 && (flags & O_ACCMODE) == O_WRONLY) {
            writers_.push_back(fd);
        }
        return fd;
    }
    std::vector<int> writers_;
};

TEST_F(FileFaults, FailedCloseIsAWriteErrorAndKeepsThePreviousFile) {
    const std::string target = previous_file();
    QuantumState state = small_state();
    FailingClose calls;
    ScopedSystemCalls scope(calls);
    const auto written = write_state_file(state, target);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, "Write error: Input/output error (os error 5)");
    EXPECT_FALSE(state.source_path());
    expect_previous_file_untouched(target);

    // A new file is linked before it is closed, and taken away again.
    const auto created = write_state_file(state, path("new.kyr"));
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message, "Write error: Input/output error (os error 5)");
    EXPECT_EQ(listing(), std::vector<std::string>{"state.kyr"});
}

// A directory whose permissions forbid creating files (what root cannot be
// shown with chmod).
class RefusingDirectory : public SystemCalls {
public:
    int openat(int directory, const char* path, int flags, mode_t mode) override {
        if ((flags & O_EXCL) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
            errno = EACCES;
            return -1;
        }
        return SystemCalls::openat(directory, path, flags, mode);
    }
};

TEST_F(FileFaults, DirectoryRefusingNewFilesIsWrittenInPlace) {
    const std::string target = previous_file();
    QuantumState state = small_state();
    RefusingDirectory calls;
    ScopedSystemCalls scope(calls);
    ASSERT_TRUE(write_state_file(state, target));
    EXPECT_EQ(read_bytes(target), to_bytes(state));
    EXPECT_EQ(listing(), std::vector<std::string>{"state.kyr"});

    const auto created = write_state_file(state, path("new.kyr"));
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().message, "Write error: Permission denied (os error 13)");
}

// --- the stop check after interrupted and short transfers -------------------

// A signal arrives during the first read, pread or write: the call moves
// `moved` bytes and returns that (0: fails with EINTR), as a pipe's does. The
// signal's handler then waits for the stop check; later calls go through.
class SignalDuringTransfer : public SystemCalls {
public:
    explicit SignalDuringTransfer(std::size_t moved) : moved_(moved) {}
    ssize_t read(int fd, void* buffer, std::size_t bytes) override {
        return transfer(bytes, [&](std::size_t n) { return SystemCalls::read(fd, buffer, n); });
    }
    ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t offset) override {
        return transfer(bytes, [&](std::size_t n) { return SystemCalls::pread(fd, buffer, n, offset); });
    }
    ssize_t write(int fd, const void* buffer, std::size_t bytes) override {
        return transfer(bytes, [&](std::size_t n) { return SystemCalls::write(fd, buffer, n); });
    }
    ssize_t pwrite(int fd, const void* buffer, std::size_t bytes, off_t offset) override {
        return transfer(bytes, [&](std::size_t n) { return SystemCalls::pwrite(fd, buffer, n, offset); });
    }
    bool pending = false;
    int transfers = 0;

private:
    template <class Call>
    ssize_t transfer(std::size_t bytes, Call&& call) {
        if (transfers++ > 0) {
            return call(bytes);
        }
        pending = true;
        if (moved_ == 0) {
            errno = EINTR;
            return -1;
        }
        return call(std::min(bytes, moved_));
    }
    std::size_t moved_;
};

struct TransferCase {
    const char* operation;  // "read", "pread", "write" or "pwrite"
    std::size_t moved;
};

class FileFaultsSignalDuringTransfer : public FileFaults,
                                       public ::testing::WithParamInterface<TransferCase> {};

TEST_P(FileFaultsSignalDuringTransfer, StopCheckRunsBeforeTheNextCall) {
    const std::string operation = GetParam().operation;
    const std::string target = path("data");
    std::vector<std::byte> buffer(4096, std::byte{0x5a});
    std::ofstream(target, std::ios::binary).write(reinterpret_cast<const char*>(buffer.data()), 4096);
    const bool writes = operation == "write" || operation == "pwrite";
    const int fd = ::open(target.c_str(), writes ? O_WRONLY : O_RDONLY);
    ASSERT_GE(fd, 0);
    SignalDuringTransfer calls(GetParam().moved);
    Status outcome;
    {
        ScopedSystemCalls scope(calls);
        const StopCheck stop = [&] { return calls.pending; };
        if (writes) {
            outcome = operation == "write" ? write_all(fd, buffer, stop) : write_all_at(fd, buffer, 0, stop);
        } else {
            const auto got = operation == "read" ? read_up_to(fd, buffer, stop)
                                                 : read_up_to_at(fd, buffer, 0, stop);
            outcome = got ? Status{} : std::unexpected(got.error());
        }
    }
    ::close(fd);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().kind, ErrorKind::interrupted);
    EXPECT_EQ(calls.transfers, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, FileFaultsSignalDuringTransfer,
    ::testing::Values(TransferCase{"read", 0}, TransferCase{"read", 100}, TransferCase{"pread", 0},
                      TransferCase{"pread", 100}, TransferCase{"write", 0}, TransferCase{"write", 100},
                      TransferCase{"pwrite", 0}, TransferCase{"pwrite", 100}),
    [](const auto& info) {
        return std::string(info.param.operation) + (info.param.moved == 0 ? "Interrupted" : "CutShort");
    });

// --- the seam itself ----------------------------------------------------------

TEST(SystemCallsSeam, NestedScopesPutBackTheCallsBeforeThem) {
    SystemCalls& real = system_calls();
    ShortTransfers outer_calls(7);
    ShortTransfers inner_calls(9);
    {
        const ScopedSystemCalls outer(outer_calls);
        {
            const ScopedSystemCalls inner(inner_calls);
            EXPECT_EQ(&system_calls(), &inner_calls);
        }
        EXPECT_EQ(&system_calls(), &outer_calls);
    }
    EXPECT_EQ(&system_calls(), &real);
}

}  // namespace
}  // namespace kyr
