#include "mapped_blocks.hpp"

// Kept blocks are poisoned for AddressSanitizer; other builds (and toolchains
// without the sanitizer headers) get no-ops.
#if defined(__SANITIZE_ADDRESS__)
#define KYR_WITH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KYR_WITH_ASAN 1
#endif
#endif
#ifdef KYR_WITH_ASAN
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif
#include <pthread.h>
#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <utility>

namespace kyr {
namespace {

constexpr std::size_t page_bytes = std::size_t{4} << 10;
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
// Most blocks one call frees: two arrays and two read buffers.
constexpr std::size_t stock_capacity = 8;

std::size_t round_up(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

// What a request for `bytes` really maps: whole pages, or whole huge pages
// from one huge page up.
std::size_t mapped_size(std::size_t bytes) {
    return bytes >= huge_page_bytes ? round_up(bytes, huge_page_bytes) : round_up(bytes, page_bytes);
}

void advise_huge_pages(void* memory, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    madvise(memory, bytes, MADV_HUGEPAGE);  // advice only; failure is harmless
#else
    (void)memory;
    (void)bytes;
#endif
}

void* map_anonymous(std::size_t bytes) {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

// Maps `bytes` (a multiple of the huge page size) at a huge-page-aligned
// address by over-mapping and trimming both ends.
void* map_huge_aligned(std::size_t bytes) {
    const std::size_t span = bytes + huge_page_bytes;
    void* raw = map_anonymous(span);
    if (raw == nullptr) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, huge_page_bytes);
    const std::size_t head = aligned - start;
    const std::size_t tail = span - head - bytes;
    if (head != 0) {
        munmap(raw, head);
    }
    if (tail != 0) {
        munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    }
    void* result = reinterpret_cast<void*>(aligned);
    advise_huge_pages(result, bytes);
    return result;
}

// Freed blocks, oldest first.
class Stock {
public:
    // The smallest kept block of at least `bytes` and at most twice that,
    // preferring one whose pages were written: reusing it faults nothing.
    MappedBlock take(std::size_t bytes) noexcept {
        const std::lock_guard lock(mutex_);
        const auto rank = [](const MappedBlock& block) {
            return std::pair(block.maybe_untouched, block.bytes);
        };
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t size = blocks_[i].bytes;
            if (size >= bytes && size / 2 <= bytes &&
                (best == count_ || rank(blocks_[i]) < rank(blocks_[best]))) {
                best = i;
            }
        }
        if (best == count_) {
            return {};
        }
        const MappedBlock found = blocks_[best];
        remove(best);
        ASAN_UNPOISON_MEMORY_REGION(found.data, found.bytes);
        return found;
    }

    void keep(MappedBlock block) noexcept {
        if (block.bytes > stock_limit_bytes) {
            munmap(block.data, block.bytes);
            return;
        }
        const std::lock_guard lock(mutex_);
        while (count_ == stock_capacity || total_bytes_ + block.bytes > stock_limit_bytes) {
            ASAN_UNPOISON_MEMORY_REGION(blocks_[0].data, blocks_[0].bytes);
            munmap(blocks_[0].data, blocks_[0].bytes);
            remove(0);
        }
        // A kept block is freed memory: AddressSanitizer reports any use of it.
        ASAN_POISON_MEMORY_REGION(block.data, block.bytes);
        blocks_[count_++] = block;
        total_bytes_ += block.bytes;
    }

    // Held across fork(): a child forked while another thread was inside
    // the stock would find it held for good, and perhaps half changed.
    void hold() noexcept { mutex_.lock(); }
    void release() noexcept { mutex_.unlock(); }

private:
    void remove(std::size_t index) noexcept {
        total_bytes_ -= blocks_[index].bytes;
        for (std::size_t i = index + 1; i < count_; ++i) {
            blocks_[i - 1] = blocks_[i];
        }
        --count_;
    }

    std::mutex mutex_;
    std::array<MappedBlock, stock_capacity> blocks_{};
    std::size_t count_ = 0;
    std::size_t total_bytes_ = 0;
};

// Constant-initialised and never destroyed in a way that matters, so buffers
// freed while the process exits can still use it.
static_assert(std::is_trivially_destructible_v<Stock>);
constinit Stock freed_blocks;

[[maybe_unused]] const int fork_handlers = pthread_atfork(
    [] { freed_blocks.hold(); }, [] { freed_blocks.release(); }, [] { freed_blocks.release(); });

}  // namespace

MappedBlock map_zeroed(std::size_t bytes) noexcept {
    const std::size_t size = mapped_size(bytes);
    void* memory = size >= huge_page_bytes ? map_huge_aligned(size) : map_anonymous(size);
    return memory == nullptr ? MappedBlock{} : MappedBlock{memory, size, true};
}

MappedBlock map_uninitialized(std::size_t bytes) noexcept {
    MappedBlock block = freed_blocks.take(mapped_size(bytes));
    if (block.data == nullptr) {
        block = map_zeroed(bytes);
    }
    block.maybe_untouched = false;  // its user writes it whole
    return block;
}

void unmap_or_keep(MappedBlock block) noexcept { freed_blocks.keep(block); }

}  // namespace kyr
