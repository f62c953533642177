// Reading a region of a regular file in chunks, with a worker overlapping
// the work: either reading the next chunk while the caller works on the
// current one, so that waiting for the disk overlaps decoding, or sharing the
// chunks with the caller, so that both cores copy and decode. Every read
// names its offset (pread), so the file position is never used: a forked
// child reading on does not disturb its parent, which shares the position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "error.hpp"
#include "posix_file.hpp"
#include "stop_check.hpp"

namespace kyr {

// Called for each complete chunk with its offset from the start of the
// region. `worker` is 0 on the calling thread and 1 on a worker that consumes
// chunks itself (Overlap::shared); there, the two call it at the same time
// for different chunks, in no set order. Otherwise chunks come in region
// order. In a forked child, a chunk the parent's worker was consuming when
// the fork came is handed to worker 1 again, whole, on the calling thread:
// the consumer must leave the same result as if the first call had not been
// made (writing the chunk's values, or committing a sum once per chunk).
using ChunkConsumer =
    std::function<void(std::size_t worker, std::uint64_t offset, std::span<const std::byte> bytes)>;

enum class Overlap {
    none,        // every chunk read and consumed on the calling thread
    read_ahead,  // the next chunk read by a worker
    shared,      // chunks read and consumed by whichever of the caller and a
                 // worker is free
};

struct ChunkedRead {
    std::uint64_t start;      // file offset of the region
    std::uint64_t total;      // bytes in the region
    std::size_t chunk_bytes;  // at most this many per chunk
    Overlap overlap;
    ShortRead short_read = ShortRead::read_on;
};

// Reads the region in chunks and hands each complete chunk to `consume`,
// with a worker as `plan.overlap` says (when there is more than one chunk).
// Returns how many bytes the region had (total, or fewer when the file ended
// early; an incomplete chunk is not consumed, though with Overlap::shared
// later ones may have been), a read error, or `interrupted` when `stop`,
// asked on the calling thread before each chunk, says so.
Result<std::uint64_t> read_chunks(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop);

}  // namespace kyr
