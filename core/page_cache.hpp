// Keeping the page cache out of the way of states too large to sit in memory
// twice. When a state and its file together would crowd RAM (a 30-qubit state
// is 16 GiB of arrays plus 16 GiB of file on a 24 GiB machine), the cache
// behind the cursor is released as the file is streamed: clean pages at once
// after reading, written pages once their writeback, started right after
// each write, has finished. The disk then stays busy and memory bounded,
// instead of the kernel reclaiming under pressure. Such files are read
// around the cache altogether where the filesystem allows (O_DIRECT): the
// disk then fills the caller's buffers itself. Smaller files keep the cache,
// where it makes the next load fast.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kyr {

// Whether a file of `file_bytes` (and a state of about the same size in
// memory) should be streamed past the page cache.
bool streams_past_page_cache(std::uint64_t file_bytes) noexcept;

// Makes streams_past_page_cache() judge by `memory_bytes` instead of the
// machine's memory while it lives, so small files take the large-file paths
// (tests only; not thread-safe against file operations running meanwhile).
class ScopedMemorySize {
public:
    explicit ScopedMemorySize(std::uint64_t memory_bytes) noexcept;
    ~ScopedMemorySize();
    ScopedMemorySize(const ScopedMemorySize&) = delete;
    ScopedMemorySize& operator=(const ScopedMemorySize&) = delete;

private:
    std::uint64_t previous_;
};

// Releases the cached pages of [offset, offset + bytes) of a file being read.
void release_read_pages(int fd, std::uint64_t offset, std::uint64_t bytes) noexcept;

// Offsets, lengths and buffer addresses of direct reads are multiples of
// this; it covers the logical block sizes of common disks (512 and 4096).
inline constexpr std::size_t direct_read_alignment = 4096;

// Reads of `fd` bypass the page cache (O_DIRECT) while this lives, where the
// filesystem allows it; the file's flags are restored afterwards.
class DirectReads {
public:
    explicit DirectReads(int fd) noexcept;
    ~DirectReads();
    DirectReads(const DirectReads&) = delete;
    DirectReads& operator=(const DirectReads&) = delete;

    bool enabled() const noexcept { return previous_flags_ >= 0; }

private:
    int fd_;
    int previous_flags_ = -1;
};

// Follows a sequential write of one file: starts writeback of each range as
// it is written and releases the pages that are a window behind.
class WriteBehind {
public:
    WriteBehind(int fd, bool enabled) noexcept : fd_(fd), enabled_(enabled) {}

    // The file now holds written bytes up to `end`.
    void written_up_to(std::uint64_t end) noexcept;

private:
    int fd_;
    bool enabled_;
    std::uint64_t started_ = 0;   // writeback requested below this offset
    std::uint64_t released_ = 0;  // pages released below this offset
};

}  // namespace kyr
