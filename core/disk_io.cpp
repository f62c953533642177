#include "disk_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "chunk_buffer.hpp"
#include "norm_tolerance.hpp"
#include "page_cache.hpp"
#include "posix_file.hpp"
#include "prefault.hpp"
#include "read_ahead.hpp"
#include "state_file.hpp"
#include "worker_thread.hpp"

namespace kyr {
namespace {

static_assert(disk_chunk_bytes % file_amplitude_bytes == 0 && disk_chunk_bytes > file_header_bytes);

// Files that stay in the page cache are read in chunks that stay in L2
// between reading and decoding.
constexpr std::size_t cached_chunk_bytes = std::size_t{512} << 10;

// Cached files from this size up have their chunks shared between the
// caller and a worker, so both cores copy from the page cache and decode
// (measured in docs/performance/internals.md).
constexpr std::uint64_t shared_from_bytes = std::uint64_t{512} << 10;

// Shared chunks: an eighth of the file, so the two threads end close
// together, but from 64 KiB (below, system calls dominate) to 256 KiB.
std::size_t shared_chunk_bytes(std::uint64_t total) {
    const auto eighth = static_cast<std::size_t>(total / 8 / file_amplitude_bytes * file_amplitude_bytes);
    return std::clamp<std::size_t>(eighth, std::size_t{64} << 10, std::size_t{256} << 10);
}

// Direct reads go to the disk one chunk at a time; large chunks keep it busy
// between requests. Two are in use at once, beside a state that fills most
// of the memory, so they are no larger than that needs.
constexpr std::size_t direct_chunk_bytes = std::size_t{8} << 20;

// Verification splits chunks into blocks small enough to stay in L1.
constexpr std::size_t norm_block_amplitudes = 1024;

// A state file whose header passed the checks, positioned at its amplitudes.
struct OpenedStateFile {
    FileDescriptor fd;
    FileHeader header;
    // The amplitude bytes when they had to be read before their length was
    // known: pipes, devices, and files whose reported size is too small (procfs
    // reports 0; a file may still be growing). Otherwise they are streamed.
    std::optional<std::vector<std::byte>> gathered;
};

// Reads up to `wanted` bytes into memory, in chunks, stopping at the end of
// the file.
Result<std::vector<std::byte>> gather(int fd, std::uint64_t wanted, const StopCheck& stop) {
    std::vector<std::byte> bytes;
    try {
        while (bytes.size() < wanted) {
            if (stop()) {
                return interrupted();
            }
            const std::size_t filled = bytes.size();
            const auto step =
                static_cast<std::size_t>(std::min<std::uint64_t>(disk_chunk_bytes, wanted - filled));
            bytes.resize(filled + step);
            const auto got = read_up_to(fd, std::span(bytes).subspan(filled, step), stop);
            if (!got) {
                return std::unexpected(got.error());
            }
            bytes.resize(filled + *got);
            if (*got < step) {
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        return io_failure(IoDirection::read, "out of memory");
    }
    return bytes;
}

Result<OpenedStateFile> open_state_file(const std::string& path, const StopCheck& stop) {
    auto fd = open_file(path, O_RDONLY, 0, IoDirection::read, stop);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    struct stat info {};
    if (fstat(fd->get(), &info) != 0) {
        return os_failure(IoDirection::read, errno);
    }
    const bool regular = S_ISREG(info.st_mode);
    if (regular) {
        posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only
    }
    std::array<std::byte, file_header_bytes> head{};
    const auto got = read_up_to(fd->get(), head, stop);
    if (!got) {
        return std::unexpected(got.error());
    }
    // The length check comes after the header's own checks, once the bytes
    // that follow are known.
    const auto header = parse_header(std::span(head).first(*got),
                                     *got < head.size() ? *got : std::numeric_limits<std::uint64_t>::max());
    if (!header) {
        return std::unexpected(header.error());
    }
    OpenedStateFile file{std::move(*fd), *header, std::nullopt};
    const std::uint64_t amplitude_bytes = header->encoded_bytes() - file_header_bytes;
    if (regular && static_cast<std::uint64_t>(info.st_size) >= header->encoded_bytes()) {
        return file;
    }
    auto rest = gather(file.fd.get(), amplitude_bytes, stop);
    if (!rest) {
        return std::unexpected(rest.error());
    }
    if (rest->size() < amplitude_bytes) {
        return truncated_file(header->encoded_bytes(), file_header_bytes + rest->size());
    }
    file.gathered = std::move(*rest);
    return file;
}

// How the amplitude bytes of an opened file are read.
enum class ReadRoute {
    gathered,    // in memory already
    direct,      // too large for the page cache beside its state: straight
                 // from the disk (O_DIRECT), read ahead; as `read_ahead` where
                 // the filesystem refuses
    read_ahead,  // too large for the page cache: read ahead by a worker, each
                 // chunk's pages released once consumed
    shared,      // chunks shared between the caller and a worker
    in_line,     // on the calling thread
};

// The order a consumer needs the chunks of a file in.
enum class ChunkOrder {
    any,   // two workers (0 and 1) at once, in no set order
    file,  // one worker, in file order
};

struct ReadPlan {
    ReadRoute route;
    ChunkedRead chunks;  // the amplitude bytes, except for `gathered` and `direct`

    bool past_page_cache() const noexcept {
        return route == ReadRoute::direct || route == ReadRoute::read_ahead;
    }
};

// The one place that decides how a file is read.
ReadPlan plan_read(const OpenedStateFile& file, ChunkOrder order) {
    const std::uint64_t total = file_amplitude_bytes * file.header.amplitude_count();
    const auto chunks = [&](std::size_t chunk_bytes, Overlap overlap) {
        return ChunkedRead{file_header_bytes, total, chunk_bytes, overlap};
    };
    if (file.gathered) {
        return {ReadRoute::gathered, chunks(cached_chunk_bytes, Overlap::none)};
    }
    const std::uint64_t encoded = file.header.encoded_bytes();
    if (streams_past_page_cache(encoded)) {
        const bool direct = encoded / direct_read_alignment * direct_read_alignment >= direct_chunk_bytes;
        return {direct ? ReadRoute::direct : ReadRoute::read_ahead,
                chunks(disk_chunk_bytes, Overlap::read_ahead)};
    }
    if (order == ChunkOrder::any && total >= shared_from_bytes) {
        return {ReadRoute::shared, chunks(shared_chunk_bytes(total), Overlap::shared)};
    }
    return {ReadRoute::in_line, chunks(cached_chunk_bytes, Overlap::none)};
}

// Streams the amplitudes of a file too large for the page cache straight
// from the disk (O_DIRECT), in large chunks read ahead: nothing is cached only
// to be evicted again, and the disk runs at its own rate. The file is read
// from offset 0 up to its last whole block, and the few bytes after it (the
// last amplitude) through the cache. Nothing when direct reads are refused
// before anything was consumed.
template <class Consume>
std::optional<Status> stream_around_page_cache(const OpenedStateFile& file, Consume& consume,
                                               const StopCheck& stop) {
    const int fd = file.fd.get();
    const std::uint64_t encoded = file.header.encoded_bytes();
    const std::uint64_t direct_bytes = encoded / direct_read_alignment * direct_read_alignment;
    std::optional<DirectReads> direct(fd);
    if (!direct->enabled()) {
        return std::nullopt;
    }
    bool consumed = false;
    const auto got = read_chunks(
        fd, ChunkedRead{0, direct_bytes, direct_chunk_bytes, Overlap::read_ahead, ShortRead::ends},
        [&](std::size_t, std::uint64_t offset, std::span<const std::byte> bytes) {
            // Chunks start at multiples of the chunk size, and so at whole
            // amplitudes once the header is skipped.
            const std::uint64_t skip = offset == 0 ? file_header_bytes : 0;
            consume(0, (offset + skip - file_header_bytes) / file_amplitude_bytes, bytes.subspan(skip));
            consumed = true;
        },
        stop);
    if (!got && got.error().os_code == EINVAL && !consumed) {
        return std::nullopt;  // the device wants a coarser alignment than ours
    }
    if (!got) {
        return std::unexpected(got.error());
    }
    if (*got < direct_bytes) {
        return truncated_file(encoded, *got);
    }
    direct.reset();
    std::array<std::byte, direct_read_alignment> tail;
    const auto rest = std::span(tail).first(static_cast<std::size_t>(encoded - direct_bytes));
    const auto tail_got = read_up_to_at(fd, rest, direct_bytes, stop);
    if (!tail_got) {
        return std::unexpected(tail_got.error());
    }
    if (*tail_got < rest.size()) {
        return truncated_file(encoded, direct_bytes + *tail_got);
    }
    consume(0, (direct_bytes - file_header_bytes) / file_amplitude_bytes,
            std::span<const std::byte>(rest));
    return Status{};
}

// Hands the amplitude bytes of `file` to consume(worker, first_index, bytes)
// in chunks of whole amplitudes, as `plan` says. A file that ends early
// (truncated while being read) yields the truncation error for the bytes it
// really had; the incomplete chunk is never consumed.
template <class Consume>
Status for_each_amplitude_chunk(const OpenedStateFile& file, const ReadPlan& plan, Consume&& consume,
                                const StopCheck& stop) {
    if (plan.route == ReadRoute::gathered) {
        consume(0, 0, std::span<const std::byte>(*file.gathered));
        return {};
    }
    if (plan.route == ReadRoute::direct) {
        if (auto streamed = stream_around_page_cache(file, consume, stop)) {
            return *streamed;
        }
    }
    const bool release_pages = plan.past_page_cache();
    const auto got = read_chunks(
        file.fd.get(), plan.chunks,
        [&](std::size_t worker, std::uint64_t offset, std::span<const std::byte> bytes) {
            consume(worker, offset / file_amplitude_bytes, bytes);
            if (release_pages) {
                // From the page holding the chunk's first byte (offset 16 +
                // offset in the file) to its end.
                release_read_pages(file.fd.get(), offset, file_header_bytes + bytes.size());
            }
        },
        stop);
    if (!got) {
        return std::unexpected(got.error());
    }
    if (*got < plan.chunks.total) {
        return truncated_file(file.header.encoded_bytes(), file_header_bytes + *got);
    }
    return {};
}

Result<QuantumState> read_amplitudes(const OpenedStateFile& file, const StopCheck& stop) {
    // Allocation failure throws, as it does when decoding from memory.
    const std::size_t count = file.header.amplitude_count();
    AmplitudeBuffer real = AmplitudeBuffer::uninitialized(count);
    AmplitudeBuffer imag = AmplitudeBuffer::uninitialized(count);
    const ReadPlan plan = plan_read(file, ChunkOrder::any);
    // A state too large for the page cache beside its file is filled in file
    // order by one thread while the disk works; faulting its fresh pages in
    // is then shared with the other core. (Cached files are read by both
    // cores, which shares that work already.)
    std::optional<BackgroundPrefault> prefault;
    if (plan.past_page_cache()) {
        prefault.emplace(real.span(), imag.span());
    }
    const auto read = for_each_amplitude_chunk(
        file, plan,
        [&](std::size_t worker, std::uint64_t first, std::span<const std::byte> bytes) {
            deinterleave(bytes, real.data() + first, imag.data() + first);
            if (prefault && worker == 0) {
                prefault->filled_up_to(first + bytes.size() / file_amplitude_bytes);
            }
        },
        stop);
    prefault.reset();
    if (!read) {
        return std::unexpected(read.error());
    }
    return assemble_state(file.header, std::move(real), std::move(imag));
}

// Hands the amplitudes of `file` to add(real, imag, count) in blocks small
// enough to stay in L1, in index order.
template <class Add>
Status for_each_amplitude_block(const OpenedStateFile& file, Add&& add, const StopCheck& stop) {
    std::array<double, norm_block_amplitudes> real;
    std::array<double, norm_block_amplitudes> imag;
    constexpr std::size_t block_bytes = norm_block_amplitudes * file_amplitude_bytes;
    const auto split_chunk = [&](std::size_t, std::uint64_t, std::span<const std::byte> bytes) {
        for (std::size_t offset = 0; offset < bytes.size(); offset += block_bytes) {
            const auto block = bytes.subspan(offset, std::min(block_bytes, bytes.size() - offset));
            deinterleave(block, real.data(), imag.data());
            add(real.data(), imag.data(), block.size() / file_amplitude_bytes);
        }
    };
    return for_each_amplitude_chunk(file, plan_read(file, ChunkOrder::file), split_chunk, stop);
}

// The fast sum of the chunks a worker consumes, committed once per chunk, so
// that a chunk handed to the worker again after a fork counts once.
class CommittedSum {
public:
    void add_chunk(std::span<const std::byte> bytes) noexcept {
        const unsigned next = 1 - current_.load(std::memory_order_relaxed);
        sums_[next] = sums_[1 - next];
        sums_[next].add_interleaved(bytes);
        current_.store(next, std::memory_order_release);
    }

    const FastNormSquared& sum() const noexcept { return sums_[current_.load(std::memory_order_acquire)]; }

private:
    std::array<FastNormSquared, 2> sums_;
    std::atomic<unsigned> current_{0};
};

// Whether the squared norm of the amplitudes of `file`, summed in the exact
// order of QuantumState::norm_squared, is within 1e-6 of 1. The fast sum
// decides unless it is too close to call; then the file is summed again in
// the defined order.
Result<bool> norm_within_tolerance(const OpenedStateFile& file, const StopCheck& stop) {
    FastNormSquared fast;
    CommittedSum helped;
    const auto streamed = for_each_amplitude_chunk(
        file, plan_read(file, ChunkOrder::any),
        [&](std::size_t worker, std::uint64_t, std::span<const std::byte> bytes) {
            if (worker == 0) {
                fast.add_interleaved(bytes);
            } else {
                helped.add_chunk(bytes);
            }
        },
        stop);
    if (!streamed) {
        return std::unexpected(streamed.error());
    }
    fast.add(helped.sum());
    if (const auto verdict = fast.certain_verdict()) {
        return *verdict;
    }
    double acc = -0.0;
    const auto summed = for_each_amplitude_block(
        file, [&](const double* real, const double* imag, std::size_t count) {
            acc = accumulate_norm_squared(acc, real, imag, count);
        },
        stop);
    if (!summed) {
        return std::unexpected(summed.error());
    }
    return std::fabs(acc - 1.0) < 1e-6;
}

}  // namespace

Result<QuantumState> read_state_file(const std::string& path, const StopCheck& stop) {
    const auto file = open_state_file(path, stop);
    if (!file) {
        return std::unexpected(file.error());
    }
    auto state = read_amplitudes(*file, stop);
    if (state) {
        state->set_source_path(path);
    }
    return state;
}

Result<bool> verify_state_file(const std::string& path, const StopCheck& stop) {
    try {
        const auto file = open_state_file(path, stop);
        const Result<bool> valid =
            file ? norm_within_tolerance(*file, stop) : std::unexpected(file.error());
        if (!valid && valid.error().kind == ErrorKind::interrupted) {
            return std::unexpected(valid.error());
        }
        return valid.value_or(false);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kyr
