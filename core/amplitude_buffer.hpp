// Owning storage for one array of amplitude parts.
//
// Large zero-filled arrays come straight from the kernel as anonymous
// mappings: zero-filled without being touched (a 30-qubit state is created at
// once) and, from 2 MiB up, aligned to and advised for transparent huge pages,
// since faulting in 4 KiB pages one by one dominates the first pass over a
// fresh array. Uninitialized arrays from 64 KiB up are mappings too, taken
// from the freed ones kept for reuse (mapped_blocks.hpp) when possible, so
// repeated loads, saves and chunk buffers fault no pages in. Small arrays use
// the C allocator, and so does any array whose mapping failed. Allocation
// failure throws std::bad_alloc, which the Python boundary reports as
// MemoryError.
#pragma once

#include <cstddef>
#include <span>

namespace kyr {

class AmplitudeBuffer {
public:
    AmplitudeBuffer() noexcept = default;
    ~AmplitudeBuffer();

    AmplitudeBuffer(AmplitudeBuffer&& other) noexcept;
    AmplitudeBuffer& operator=(AmplitudeBuffer&& other) noexcept;
    AmplitudeBuffer(const AmplitudeBuffer&) = delete;
    AmplitudeBuffer& operator=(const AmplitudeBuffer&) = delete;

    // `count` doubles, all +0.0.
    static AmplitudeBuffer zeroed(std::size_t count);
    // `count` doubles with unspecified contents, for callers that overwrite
    // every element (decoders, copies).
    static AmplitudeBuffer uninitialized(std::size_t count);

    double* data() noexcept { return data_; }
    const double* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::span<double> span() noexcept { return {data_, size_}; }
    std::span<const double> span() const noexcept { return {data_, size_}; }
    double& operator[](std::size_t i) noexcept { return data_[i]; }
    double operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    static AmplitudeBuffer allocate(std::size_t count, bool zero);
    void release() noexcept;

    double* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_bytes_ = 0;  // non-zero when data_ is a mapping, else from the C allocator
    bool maybe_untouched_ = false;  // a zero-filled mapping, perhaps never written
};

}  // namespace kyr
