#include "page_cache.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <limits>

namespace kyr {
namespace {

// How far behind the written end pages are waited for and released: large
// enough that the disk always has queued work.
constexpr std::uint64_t write_window_bytes = std::uint64_t{64} << 20;

std::uint64_t physical_memory_bytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

// A stand-in for the machine's memory, or 0.
std::atomic<std::uint64_t> memory_size_override{0};

}  // namespace

bool streams_past_page_cache(std::uint64_t file_bytes) noexcept {
    static const std::uint64_t machine_memory = physical_memory_bytes();
    const std::uint64_t replaced = memory_size_override.load(std::memory_order_relaxed);
    const std::uint64_t memory = replaced != 0 ? replaced : machine_memory;
    // State and file both in memory, with a quarter of RAM to spare.
    return file_bytes > memory / 8 * 3;
}

ScopedMemorySize::ScopedMemorySize(std::uint64_t memory_bytes) noexcept
    : previous_(memory_size_override.exchange(memory_bytes)) {}

ScopedMemorySize::~ScopedMemorySize() { memory_size_override = previous_; }

void release_read_pages(int fd, std::uint64_t offset, std::uint64_t bytes) noexcept {
    posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(bytes), POSIX_FADV_DONTNEED);
}

DirectReads::DirectReads(int fd) noexcept : fd_(fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_DIRECT) == 0) {
        previous_flags_ = flags;
    }
}

DirectReads::~DirectReads() {
    if (enabled()) {
        fcntl(fd_, F_SETFL, previous_flags_);
    }
}

void WriteBehind::written_up_to(std::uint64_t end) noexcept {
    if (!enabled_ || end <= started_) {
        return;
    }
    // Advice only: where these calls are refused (pipes, some filesystems),
    // the kernel's usual writeback does the work.
    sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(end - started_),
                    SYNC_FILE_RANGE_WRITE);
    started_ = end;
    if (end - released_ > write_window_bytes) {
        const std::uint64_t upto = end - write_window_bytes;
        sync_file_range(fd_, static_cast<off_t>(released_), static_cast<off_t>(upto - released_),
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                            SYNC_FILE_RANGE_WAIT_AFTER);
        posix_fadvise(fd_, static_cast<off_t>(released_), static_cast<off_t>(upto - released_),
                      POSIX_FADV_DONTNEED);
        released_ = upto;
    }
}

}  // namespace kyr
