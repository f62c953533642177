// Sequential reading of a file region in chunks, with the next chunk read on
// a helper thread while the caller works on the current one: copying from the
// page cache then overlaps decoding instead of adding to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "error.hpp"
#include "posix_file.hpp"
#include "stop_check.hpp"

namespace kyr {

// Called for each complete chunk in file order with its offset from the start
// of the region.
using ChunkConsumer = std::function<void(std::uint64_t offset, std::span<const std::byte> bytes)>;

struct ChunkedRead {
    std::uint64_t total;      // bytes to read from the current position
    std::size_t chunk_bytes;  // at most this many per chunk
    bool read_ahead;          // read the next chunk on a helper thread
    ShortRead short_read = ShortRead::read_on;
};

// Reads `plan.total` bytes from the current position of `fd` in chunks and
// hands each complete chunk to `consume`, with the next chunk read on a
// helper thread when `plan.read_ahead` is set (and there is more than one
// chunk). Returns how many bytes the file had (total, or fewer when it ended
// early; an incomplete chunk is not consumed), a read error, or `interrupted`
// when `stop`, asked on the calling thread before each chunk, says so.
Result<std::uint64_t> read_chunks(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop);

}  // namespace kyr
