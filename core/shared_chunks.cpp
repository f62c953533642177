#include "shared_chunks.hpp"

#include <atomic>
#include <limits>

#include "worker_thread.hpp"

namespace kyr {
namespace {

// Chunk numbers, and the counts and claims recorded for them, fit in 32 bits
// below this; more chunks are done on the calling thread.
constexpr std::uint64_t max_chunks = std::numeric_limits<std::uint32_t>::max() - 2;

// The chunks, claimed one at a time by the caller and a worker. The worker's
// claims and finished chunks are recorded, so that a forked child knows which
// chunk its parent's worker left unfinished.
class SharedChunks {
public:
    SharedChunks(std::uint64_t chunks, std::uint64_t whole, const ChunkTask& task)
        : chunks_(chunks), whole_(whole), task_(task) {}

    // Claims and does chunks until none is left, as worker 0 (the caller) or
    // 1. Returns `whole`, the smaller value a task returned (chunks are
    // claimed in order, so the one where a file ends is always done), or the
    // first failure.
    Result<std::uint64_t> take(std::size_t worker, const StopCheck& stop) {
        while (!halt_.load(std::memory_order_relaxed)) {
            if (stop()) {
                halt();
                return interrupted();
            }
            const std::uint64_t k = claim(worker);
            if (k >= chunks_) {
                break;
            }
            Result<std::uint64_t> done = whole_;
            try {
                done = task_(worker, k, stop);
            } catch (...) {
                halt();
                throw;
            }
            if (!done || *done < whole_) {
                halt();
                return done;
            }
            if (worker == 1) {
                worker_finished_.store(static_cast<std::uint32_t>(k + 1), std::memory_order_release);
            }
        }
        return whole_;
    }

    // In a forked child whose parent's worker took part: does the chunk that
    // worker had claimed and not finished (every earlier one it finished),
    // then, when the caller's own share ended well (`own` is `whole`), the
    // chunks nobody claimed yet. Returns as take() does, counting `own`.
    Result<std::uint64_t> take_over(std::uint64_t own, const StopCheck& stop) {
        const auto held = static_cast<std::uint32_t>(claims_.load(std::memory_order_acquire));
        std::uint64_t end = own;
        if (held != 0 && worker_finished_.load(std::memory_order_acquire) != held) {
            const auto done = task_(1, held - 1, stop);
            if (!done) {
                return done;
            }
            end = std::min(end, *done);
        }
        if (own == whole_) {
            halt_.store(false, std::memory_order_relaxed);  // the lost worker may have set it
            const auto rest = take(0, stop);
            if (!rest) {
                return rest;
            }
            end = std::min(end, *rest);
        }
        return end;
    }

    // Ends the claiming early (on an error, a stop or a throwing task).
    void halt() noexcept { halt_.store(true, std::memory_order_relaxed); }

private:
    // The next chunk's number. The caller only counts; the worker also
    // records its claim, in the same word, so that no fork can come between
    // the two.
    std::uint64_t claim(std::size_t worker) noexcept {
        if (worker == 0) {
            return claims_.fetch_add(next_unit, std::memory_order_acq_rel) >> 32;
        }
        std::uint64_t seen = claims_.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint64_t k = seen >> 32;
            if (k >= chunks_) {
                return k;
            }
            if (claims_.compare_exchange_weak(seen, (k + 1) * next_unit + (k + 1),
                                              std::memory_order_acq_rel)) {
                return k;
            }
        }
    }

    static constexpr std::uint64_t next_unit = std::uint64_t{1} << 32;

    std::uint64_t chunks_;
    std::uint64_t whole_;
    const ChunkTask& task_;
    // High half: the next chunk to claim. Low half: 1 + the chunk the worker
    // claimed last, or 0.
    std::atomic<std::uint64_t> claims_{0};
    // 1 + the chunk the worker finished last, or 0.
    std::atomic<std::uint32_t> worker_finished_{0};
    std::atomic<bool> halt_{false};
};

// Every chunk on the calling thread, in order.
Result<std::uint64_t> do_in_line(std::uint64_t chunks, std::uint64_t whole, const ChunkTask& task,
                                 const StopCheck& stop) {
    for (std::uint64_t k = 0; k < chunks; ++k) {
        if (stop()) {
            return interrupted();
        }
        const auto done = task(0, k, stop);
        if (!done || *done < whole) {
            return done;
        }
    }
    return whole;
}

}  // namespace

Result<std::uint64_t> share_chunks(std::uint64_t chunks, std::uint64_t whole, const ChunkTask& task,
                                   const StopCheck& stop) {
    if (chunks < 2 || chunks > max_chunks) {
        return do_in_line(chunks, whole, task, stop);
    }
    SharedChunks shared(chunks, whole, task);
    Result<std::uint64_t> helped = whole;
    WorkerJob helper([&] { helped = shared.take(1, never_stop()); });
    // Every way out, a throwing task included, ends the claiming before
    // ~WorkerJob withdraws the job or waits for the worker.
    struct HaltOnExit {
        SharedChunks& shared;
        ~HaltOnExit() { shared.halt(); }
    } halt_on_exit{shared};

    const auto own = shared.take(0, stop);
    if (!own) {
        return own;
    }
    switch (helper.wait_or_withdraw()) {  // rethrows what the worker's task threw
    case JobEnd::lost:
        return shared.take_over(*own, stop);
    case JobEnd::withdrawn:
        return own;
    case JobEnd::ran:
        break;
    }
    if (!helped) {
        return helped;
    }
    return std::min(*own, *helped);
}

}  // namespace kyr
