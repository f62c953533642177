#include "prefault.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace kyr {
namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif

// Pages are populated this many bytes of each array at a time.
constexpr std::size_t step_bytes = std::size_t{32} << 20;
constexpr std::size_t step_elements = step_bytes / sizeof(double);
constexpr std::uintptr_t page_bytes = 4096;

// Populates the whole pages of [begin, end); false when the kernel refuses.
bool populate(double* begin, double* end) noexcept {
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + page_bytes - 1) / page_bytes * page_bytes;
    const auto to = reinterpret_cast<std::uintptr_t>(end) / page_bytes * page_bytes;
    return to <= from ||
           madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) == 0;
}

}  // namespace

BackgroundPrefault::BackgroundPrefault(std::span<double> first, std::span<double> second)
    : first_(first), second_(second) {
    // Without a worker the caller faults every page in itself.
    job_.emplace([this] { run(); });
}

BackgroundPrefault::~BackgroundPrefault() {
    halt_ = true;
    job_.reset();  // a job lost in a fork left nothing to wait for
}

void BackgroundPrefault::run() noexcept {
    std::size_t end = first_.size();
    while (!halt_ && end > filled_.load(std::memory_order_relaxed) + step_elements) {
        const std::size_t begin = end - step_elements;
        if (!populate(first_.data() + begin, first_.data() + end) ||
            !populate(second_.data() + begin, second_.data() + end)) {
            return;
        }
        end = begin;
    }
}

}  // namespace kyr
