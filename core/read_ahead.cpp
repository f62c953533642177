#include "read_ahead.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <optional>
#include <semaphore>
#include <system_error>
#include <thread>

#include "chunk_buffer.hpp"
#include "posix_file.hpp"
#include "worker_thread.hpp"

namespace kyr {
namespace {

// One of the two buffers the helper fills in turn, with what its last read
// brought.
struct Slot {
    explicit Slot(std::size_t bytes) : buffer(bytes) {}

    ChunkBuffer buffer;
    std::size_t wanted = 0;
    Result<std::size_t> got = 0;
    std::exception_ptr failure;  // set instead of `got` when the read threw
    std::counting_semaphore<> filled{0};
    std::counting_semaphore<> free{1};
};

// Reads [from, to) of the region in chunks, handing each to
// consume(worker, ...): from the current file position on, or with pread
// when the region's file offset `start` is given. Returns `to`, or where the
// file ended.
Result<std::uint64_t> read_range(int fd, std::optional<std::uint64_t> start, std::uint64_t from,
                                 std::uint64_t to, const ChunkedRead& plan, std::size_t worker,
                                 const ChunkConsumer& consume, const StopCheck& stop) {
    const ChunkBuffer buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(to - from, plan.chunk_bytes)));
    for (std::uint64_t offset = from; offset < to;) {
        if (stop()) {
            return interrupted();
        }
        const auto chunk =
            buffer.bytes().first(std::min<std::uint64_t>(buffer.bytes().size(), to - offset));
        const auto got = start ? read_up_to_at(fd, chunk, *start + offset, stop)
                               : read_up_to(fd, chunk, stop, plan.short_read);
        if (!got) {
            return std::unexpected(got.error());
        }
        if (*got < chunk.size()) {
            return offset + *got;
        }
        consume(worker, offset, chunk);
        offset += chunk.size();
    }
    return to;
}

Result<std::uint64_t> read_inline(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop) {
    return read_range(fd, std::nullopt, 0, plan.total, plan, 0, consume, stop);
}

// The chunks of the region, claimed one at a time by the caller and the
// worker thread, each reading its own with pread. The caller starts at once;
// a worker that wakes late takes fewer chunks, so the caller never waits for
// more than the one chunk the worker holds, and not at all for a worker that
// has not begun by the time every chunk is claimed. Returns `plan.total`, the
// smaller end of file the two met (chunks are claimed in file order, so the
// one holding the end is always read), or the first failure.
class SharedChunks {
public:
    SharedChunks(int fd, std::uint64_t start, const ChunkedRead& plan, const ChunkConsumer& consume)
        : fd_(fd), start_(start), plan_(plan), consume_(consume),
          chunks_((plan.total + plan.chunk_bytes - 1) / plan.chunk_bytes) {}

    Result<std::uint64_t> take(std::size_t worker, const StopCheck& stop) {
        const ChunkBuffer buffer(static_cast<std::size_t>(
            std::min<std::uint64_t>(plan_.total, plan_.chunk_bytes)));
        for (std::uint64_t k; !halt_ && (k = next_++) < chunks_;) {
            if (stop()) {
                halt_ = true;
                return interrupted();
            }
            const std::uint64_t offset = k * plan_.chunk_bytes;
            const auto chunk = buffer.bytes().first(
                std::min<std::uint64_t>(buffer.bytes().size(), plan_.total - offset));
            const auto got = read_up_to_at(fd_, chunk, start_ + offset, stop);
            if (!got) {
                halt_ = true;
                return std::unexpected(got.error());
            }
            if (*got < chunk.size()) {
                // Every chunk before this one is claimed already; none after
                // it can have bytes.
                halt_ = true;
                return offset + *got;
            }
            try {
                consume_(worker, offset, chunk);
            } catch (...) {
                halt_ = true;
                throw;
            }
        }
        return plan_.total;
    }

    // Ends the claiming early (on an error, a stop or a throwing consumer).
    void halt() noexcept { halt_ = true; }

private:
    int fd_;
    std::uint64_t start_;
    const ChunkedRead& plan_;
    const ChunkConsumer& consume_;
    std::uint64_t chunks_;
    std::atomic<std::uint64_t> next_{0};
    std::atomic<bool> halt_{false};
};

Result<std::uint64_t> read_shared(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop) {
    const off_t start = lseek(fd, 0, SEEK_CUR);
    if (start < 0) {
        return read_inline(fd, plan, consume, stop);
    }
    SharedChunks chunks(fd, static_cast<std::uint64_t>(start), plan, consume);
    Result<std::uint64_t> helped = plan.total;
    WorkerJob helper([&] { helped = chunks.take(1, never_stop()); });
    // Every way out, a throwing consumer included, ends the claiming before
    // ~WorkerJob withdraws the job or waits for the worker.
    struct HaltOnExit {
        SharedChunks& chunks;
        ~HaltOnExit() { chunks.halt(); }
    } halt_on_exit{chunks};

    const auto own = chunks.take(0, stop);
    helper.wait_or_withdraw();  // rethrows what the worker's consumer threw
    if (!own) {
        return own;
    }
    if (!helped) {
        return helped;
    }
    return std::min(*own, *helped);
}

}  // namespace

Result<std::uint64_t> read_chunks(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop) {
    const std::uint64_t total = plan.total;
    const std::size_t chunk_bytes = plan.chunk_bytes;
    if (plan.overlap == Overlap::none || total <= chunk_bytes) {
        return read_inline(fd, plan, consume, stop);
    }
    if (plan.overlap == Overlap::shared) {
        return read_shared(fd, plan, consume, stop);
    }
    std::array<Slot, 2> slots{Slot(chunk_bytes), Slot(chunk_bytes)};
    std::atomic<bool> halt{false};
    auto produce = [&] {
        std::uint64_t offset = 0;
        for (std::size_t k = 0; offset < total; ++k) {
            Slot& slot = slots[k % 2];
            slot.free.acquire();
            if (halt) {
                return;
            }
            slot.wanted =
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, total - offset));
            bool complete = false;
            try {
                // Signals are blocked here, so EINTR cannot come up.
                slot.got = read_up_to(fd, slot.buffer.bytes().first(slot.wanted), never_stop(),
                                      plan.short_read);
                complete = slot.got && *slot.got == slot.wanted;
            } catch (...) {
                slot.failure = std::current_exception();  // rethrown by the caller
            }
            slot.filled.release();
            if (!complete) {
                return;
            }
            offset += slot.wanted;
        }
    };
    std::thread helper;
    try {
        helper = start_without_signals(produce);
    } catch (const std::system_error&) {
        return read_inline(fd, plan, consume, stop);
    }
    // Stops and joins the helper on every way out, a throwing consumer included.
    struct Join {
        std::thread& helper;
        std::atomic<bool>& halt;
        std::array<Slot, 2>& slots;
        ~Join() {
            halt = true;
            for (Slot& slot : slots) {
                slot.free.release();
            }
            helper.join();
        }
    } join{helper, halt, slots};

    std::uint64_t offset = 0;
    for (std::size_t k = 0; offset < total; ++k) {
        if (stop()) {
            return interrupted();
        }
        Slot& slot = slots[k % 2];
        slot.filled.acquire();
        if (slot.failure) {
            std::rethrow_exception(slot.failure);
        }
        if (!slot.got) {
            return std::unexpected(slot.got.error());
        }
        if (*slot.got < slot.wanted) {
            return offset + *slot.got;
        }
        consume(0, offset, slot.buffer.bytes().first(slot.wanted));
        offset += slot.wanted;
        slot.free.release();
    }
    return total;
}

}  // namespace kyr
