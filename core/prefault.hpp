// Faulting in the pages of fresh, very large arrays on a second core while the
// caller fills them. A new page costs the kernel a clearing (and, in a virtual
// machine, the host its own allocation); for a 30-qubit load that work alone
// took longer than reading the file from disk. A worker job walks the
// arrays from their ends towards the caller's position with
// MADV_POPULATE_WRITE, which maps pages without touching their contents, so
// the two never disturb each other's data and the work splits between the
// cores wherever they meet.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <span>

#include "worker_thread.hpp"

namespace kyr {

class BackgroundPrefault {
public:
    // Starts, as a worker job, on arrays of equal length that the caller
    // fills in index order. Does nothing when no worker is free.
    BackgroundPrefault(std::span<double> first, std::span<double> second);
    // Stops the job and waits for it.
    ~BackgroundPrefault();
    BackgroundPrefault(const BackgroundPrefault&) = delete;
    BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

    // The caller has filled every index below `index`.
    void filled_up_to(std::size_t index) noexcept { filled_.store(index, std::memory_order_relaxed); }

private:
    void run() noexcept;

    std::span<double> first_;
    std::span<double> second_;
    std::atomic<std::size_t> filled_{0};
    std::atomic<bool> halt_{false};
    std::optional<WorkerJob> job_;
};

}  // namespace kyr
