// Aligned, uninitialised byte storage for moving file bytes in chunks.
#pragma once

#include <cstddef>
#include <span>

#include "amplitude_buffer.hpp"

namespace kyr {

class ChunkBuffer {
public:
    explicit ChunkBuffer(std::size_t bytes)
        : storage_(AmplitudeBuffer::uninitialized((bytes + sizeof(double) - 1) / sizeof(double))),
          bytes_(std::as_writable_bytes(storage_.span()).first(bytes)) {}

    std::span<std::byte> bytes() const noexcept { return bytes_; }

private:
    AmplitudeBuffer storage_;
    std::span<std::byte> bytes_;
};

}  // namespace kyr
