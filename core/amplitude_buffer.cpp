#include "amplitude_buffer.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

namespace kyr {
namespace {

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
// Below this size the C allocator is cheaper than a fresh mapping.
constexpr std::size_t mapping_threshold_bytes = std::size_t{4} << 20;
// glibc serves blocks below this from memory it recycles after a free (its
// largest dynamic mmap threshold on 64-bit), so a buffer allocated and freed
// over and over there faults its pages in only once.
constexpr std::size_t recycled_limit_bytes = std::size_t{32} << 20;

std::size_t round_up(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

void advise_huge_pages(void* memory, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    madvise(memory, bytes, MADV_HUGEPAGE);  // advice only; failure is harmless
#else
    (void)memory;
    (void)bytes;
#endif
}

// Maps `bytes` (a multiple of the huge page size) at a huge-page-aligned
// address by over-mapping and trimming both ends.
void* map_aligned(std::size_t bytes) {
    const std::size_t span = bytes + huge_page_bytes;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
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

}  // namespace

AmplitudeBuffer::~AmplitudeBuffer() { release(); }

AmplitudeBuffer::AmplitudeBuffer(AmplitudeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)),
      allocation_(std::exchange(other.allocation_, nullptr)) {}

AmplitudeBuffer& AmplitudeBuffer::operator=(AmplitudeBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
        allocation_ = std::exchange(other.allocation_, nullptr);
    }
    return *this;
}

AmplitudeBuffer AmplitudeBuffer::zeroed(std::size_t count) { return allocate(count, true); }

AmplitudeBuffer AmplitudeBuffer::uninitialized(std::size_t count) { return allocate(count, false); }

AmplitudeBuffer AmplitudeBuffer::allocate(std::size_t count, bool zero) {
    AmplitudeBuffer buffer;
    if (count == 0) {
        return buffer;
    }
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(double) - huge_page_bytes) {
        throw std::bad_alloc();
    }
    const std::size_t bytes = count * sizeof(double);
    if (!zero && bytes >= mapping_threshold_bytes &&
        bytes < recycled_limit_bytes - huge_page_bytes) {
        // Same alignment and advice as a mapping, but from the C allocator,
        // which hands a freed block of this size back without new faults.
        void* memory = std::malloc(bytes + huge_page_bytes);
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        const std::uintptr_t aligned =
            round_up(reinterpret_cast<std::uintptr_t>(memory), huge_page_bytes);
        buffer.allocation_ = memory;
        buffer.data_ = reinterpret_cast<double*>(aligned);
        advise_huge_pages(buffer.data_, bytes);
    } else if (bytes >= mapping_threshold_bytes) {
        const std::size_t mapped = round_up(bytes, huge_page_bytes);
        void* memory = map_aligned(mapped);
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        buffer.data_ = static_cast<double*>(memory);
        buffer.mapped_bytes_ = mapped;
    } else {
        void* memory = zero ? std::calloc(count, sizeof(double)) : std::malloc(bytes);
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        buffer.allocation_ = memory;
        buffer.data_ = static_cast<double*>(memory);
    }
    buffer.size_ = count;
    return buffer;
}

void AmplitudeBuffer::release() noexcept {
    if (mapped_bytes_ != 0) {
        munmap(data_, mapped_bytes_);
    } else {
        std::free(allocation_);
    }
    data_ = nullptr;
    allocation_ = nullptr;
    size_ = 0;
    mapped_bytes_ = 0;
}

}  // namespace kyr
