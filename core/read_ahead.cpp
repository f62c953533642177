#include "read_ahead.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <limits>

#include "chunk_buffer.hpp"
#include "posix_file.hpp"
#include "shared_chunks.hpp"
#include "worker_thread.hpp"

namespace kyr {
namespace {

// Chunk numbers, and the counts and claims recorded for them, fit in 32 bits
// below this; regions with more chunks are read on the calling thread.
constexpr std::uint64_t max_chunks = std::numeric_limits<std::uint32_t>::max() - 2;

std::uint64_t chunk_count(const ChunkedRead& plan) {
    return (plan.total + plan.chunk_bytes - 1) / plan.chunk_bytes;
}

// The bytes of chunk `index` in `buffer`.
std::span<std::byte> chunk_span(const ChunkedRead& plan, std::span<std::byte> buffer,
                                std::uint64_t index) {
    const std::uint64_t offset = index * plan.chunk_bytes;
    return buffer.first(
        static_cast<std::size_t>(std::min<std::uint64_t>(plan.chunk_bytes, plan.total - offset)));
}

// The size of a buffer for one chunk.
std::size_t buffer_bytes(const ChunkedRead& plan) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(plan.total, plan.chunk_bytes));
}

// Reads chunk `index` into `buffer` and hands it to consume(worker, ...).
// Returns the region's total when the chunk was whole, else where the file
// ended.
Result<std::uint64_t> read_chunk(int fd, const ChunkedRead& plan, std::uint64_t index,
                                 std::span<std::byte> buffer, std::size_t worker,
                                 const ChunkConsumer& consume, const StopCheck& stop) {
    const std::uint64_t offset = index * plan.chunk_bytes;
    const auto chunk = chunk_span(plan, buffer, index);
    const auto got = read_up_to_at(fd, chunk, plan.start + offset, stop, plan.short_read);
    if (!got) {
        return std::unexpected(got.error());
    }
    if (*got < chunk.size()) {
        return offset + *got;
    }
    consume(worker, offset, chunk);
    return plan.total;
}

// Chunks [from_chunk, end) on the calling thread, in order.
Result<std::uint64_t> read_inline(int fd, const ChunkedRead& plan, std::uint64_t from_chunk,
                                  const ChunkConsumer& consume, const StopCheck& stop) {
    const ChunkBuffer buffer(buffer_bytes(plan));
    for (std::uint64_t k = from_chunk, chunks = chunk_count(plan); k < chunks; ++k) {
        if (stop()) {
            return interrupted();
        }
        const auto got = read_chunk(fd, plan, k, buffer.bytes(), 0, consume, stop);
        if (!got || *got < plan.total) {
            return got;
        }
    }
    return plan.total;
}

// ----- shared chunks ------------------------------------------------------------

Result<std::uint64_t> read_shared(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop) {
    const std::size_t bytes = buffer_bytes(plan);
    const std::array<ChunkBuffer, 2> buffers{ChunkBuffer(bytes), ChunkBuffer(bytes)};
    return share_chunks(
        chunk_count(plan), plan.total,
        [&](std::size_t worker, std::uint64_t k, const StopCheck& check) {
            return read_chunk(fd, plan, k, buffers[worker].bytes(), worker, consume, check);
        },
        stop);
}

// ----- read ahead ---------------------------------------------------------------

// The worker reads chunk k into slot k % 2 once the caller has freed it;
// the caller consumes the slots in turn.
class ReadAhead {
public:
    ReadAhead(int fd, const ChunkedRead& plan)
        : fd_(fd), plan_(plan), chunks_(chunk_count(plan)),
          slots_{Slot(plan.chunk_bytes), Slot(plan.chunk_bytes)} {}

    // The worker's part: reads until the last chunk, a failure, or halt().
    void produce() noexcept {
        for (std::uint32_t k = 0; k < chunks_ && slot_free(k); ++k) {
            Slot& slot = slots_[k % 2];
            const auto chunk = chunk_span(plan_, slot.buffer.bytes(), k);
            try {
                // Signals are blocked here, so EINTR cannot come up.
                slot.got = read_up_to_at(fd_, chunk, plan_.start + std::uint64_t{k} * plan_.chunk_bytes,
                                         never_stop(), plan_.short_read);
            } catch (...) {
                slot.failure = std::current_exception();  // rethrown by the caller
            }
            const bool whole = !slot.failure && slot.got && *slot.got == chunk.size();
            filled_.store(k + 1, std::memory_order_release);
            filled_.notify_one();
            if (!whole) {
                return;
            }
        }
    }

    // The caller's part. Reads on by itself from where `producer` was lost,
    // in a forked child.
    Result<std::uint64_t> consume(const WorkerJob& producer, const ChunkConsumer& consume,
                                  const StopCheck& stop) {
        for (std::uint32_t k = 0; k < chunks_; ++k) {
            if (stop()) {
                return interrupted();
            }
            for (std::uint32_t seen; (seen = filled_.load(std::memory_order_acquire)) <= k;) {
                if (producer.lost()) {
                    return read_inline(fd_, plan_, k, consume, stop);
                }
                filled_.wait(seen, std::memory_order_acquire);
            }
            Slot& slot = slots_[k % 2];
            if (slot.failure) {
                std::rethrow_exception(slot.failure);
            }
            if (!slot.got) {
                return std::unexpected(slot.got.error());
            }
            const std::uint64_t offset = std::uint64_t{k} * plan_.chunk_bytes;
            const auto chunk = chunk_span(plan_, slot.buffer.bytes(), k);
            if (*slot.got < chunk.size()) {
                return offset + *slot.got;
            }
            consume(0, offset, chunk);
            freed_.store(k + 1, std::memory_order_release);
            freed_.notify_one();
        }
        return plan_.total;
    }

    // Ends the worker's part at its next chunk.
    void halt() noexcept {
        freed_.store(halted, std::memory_order_release);
        freed_.notify_one();
    }

private:
    // Waits until the caller has freed the slot of chunk `k`; false once it
    // has halted.
    bool slot_free(std::uint32_t k) noexcept {
        for (;;) {
            const std::uint32_t freed = freed_.load(std::memory_order_acquire);
            if (freed == halted) {
                return false;
            }
            if (k < freed + 2) {
                return true;
            }
            freed_.wait(freed, std::memory_order_acquire);
        }
    }

    struct Slot {
        explicit Slot(std::size_t bytes) : buffer(bytes) {}

        ChunkBuffer buffer;
        Result<std::size_t> got = 0;
        std::exception_ptr failure;  // set instead of `got` when the read threw
    };

    static constexpr std::uint32_t halted = std::numeric_limits<std::uint32_t>::max();

    int fd_;
    const ChunkedRead& plan_;
    std::uint32_t chunks_;
    std::array<Slot, 2> slots_;
    std::atomic<std::uint32_t> filled_{0};  // chunks the worker has read (or failed at)
    std::atomic<std::uint32_t> freed_{0};   // chunks the caller is done with, or `halted`
};

Result<std::uint64_t> read_ahead(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                 const StopCheck& stop) {
    if (chunk_count(plan) > max_chunks) {
        return read_inline(fd, plan, 0, consume, stop);
    }
    ReadAhead reader(fd, plan);
    WorkerJob producer([&] { reader.produce(); });
    if (!producer.running()) {
        return read_inline(fd, plan, 0, consume, stop);
    }
    // Every way out, a throwing consumer included, ends the worker's part
    // before ~WorkerJob withdraws the job or waits for the worker.
    struct HaltOnExit {
        ReadAhead& reader;
        ~HaltOnExit() { reader.halt(); }
    } halt_on_exit{reader};
    return reader.consume(producer, consume, stop);
}

}  // namespace

Result<std::uint64_t> read_chunks(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop) {
    if (plan.overlap == Overlap::none || plan.total <= plan.chunk_bytes) {
        return read_inline(fd, plan, 0, consume, stop);
    }
    if (plan.overlap == Overlap::shared) {
        return read_shared(fd, plan, consume, stop);
    }
    return read_ahead(fd, plan, consume, stop);
}

}  // namespace kyr
