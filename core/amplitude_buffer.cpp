#include "amplitude_buffer.hpp"

#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include "mapped_blocks.hpp"

namespace kyr {
namespace {

// Zero-filled arrays from this size up are fresh mappings: untouched pages
// cost nothing, so a 30-qubit state is created at once.
constexpr std::size_t zeroed_mapping_bytes = std::size_t{4} << 20;
// Uninitialized arrays from this size up are mappings that are kept for
// reuse when freed (mapped_blocks.hpp); below it the C allocator recycles
// freed blocks itself.
constexpr std::size_t uninitialized_mapping_bytes = std::size_t{64} << 10;

}  // namespace

AmplitudeBuffer::~AmplitudeBuffer() { release(); }

AmplitudeBuffer::AmplitudeBuffer(AmplitudeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)),
      maybe_untouched_(std::exchange(other.maybe_untouched_, false)) {}

AmplitudeBuffer& AmplitudeBuffer::operator=(AmplitudeBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
        maybe_untouched_ = std::exchange(other.maybe_untouched_, false);
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
    // Leaves room for rounding the mapping up to whole huge pages.
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(double) / 2) {
        throw std::bad_alloc();
    }
    const std::size_t bytes = count * sizeof(double);
    if (bytes >= (zero ? zeroed_mapping_bytes : uninitialized_mapping_bytes)) {
        const MappedBlock block = zero ? map_zeroed(bytes) : map_uninitialized(bytes);
        if (block.data != nullptr) {
            buffer.data_ = static_cast<double*>(block.data);
            buffer.mapped_bytes_ = block.bytes;
            buffer.maybe_untouched_ = block.maybe_untouched;
            buffer.size_ = count;
            return buffer;
        }
        // Out of mappings (vm.max_map_count) rather than memory, perhaps:
        // the C allocator may still have room.
    }
    void* memory = zero ? std::calloc(count, sizeof(double)) : std::malloc(bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    buffer.data_ = static_cast<double*>(memory);
    buffer.size_ = count;
    return buffer;
}

void AmplitudeBuffer::release() noexcept {
    if (mapped_bytes_ != 0) {
        unmap_or_keep({data_, mapped_bytes_, maybe_untouched_});
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_bytes_ = 0;
    maybe_untouched_ = false;
}

}  // namespace kyr
