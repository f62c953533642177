// Sequential reading of a file region in chunks, with a helper thread
// overlapping the work: either reading the next chunk while the caller works
// on the current one, so copying from the page cache overlaps decoding, or
// sharing the chunks with the caller, so both cores copy and decode.
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
// region. `worker` is 0 on the calling thread and 1 on a helper that consumes
// chunks itself (Overlap::shared); there, the two call it at the same time
// for different chunks, in no set order. Otherwise chunks come in file order.
using ChunkConsumer =
    std::function<void(std::size_t worker, std::uint64_t offset, std::span<const std::byte> bytes)>;

enum class Overlap {
    none,        // every chunk read and consumed on the calling thread
    read_ahead,  // the next chunk read on a helper thread
    shared,      // chunks read and consumed by whichever of the caller and a
                 // helper thread is free; needs a file that can be read at an
                 // offset (pread)
};

struct ChunkedRead {
    std::uint64_t total;      // bytes to read from the current position
    std::size_t chunk_bytes;  // at most this many per chunk
    Overlap overlap;
    ShortRead short_read = ShortRead::read_on;
};

// Reads `plan.total` bytes from the current position of `fd` in chunks and
// hands each complete chunk to `consume`, with a helper thread as
// `plan.overlap` says (when there is more than one chunk). Returns how many
// bytes the file had (total, or fewer when it ended early; an incomplete
// chunk is not consumed, though with Overlap::shared later ones may have
// been), a read error, or
// `interrupted` when `stop`, asked on the calling thread before each chunk,
// says so. After Overlap::shared the file position is unspecified.
Result<std::uint64_t> read_chunks(int fd, const ChunkedRead& plan, const ChunkConsumer& consume,
                                  const StopCheck& stop);

}  // namespace kyr
