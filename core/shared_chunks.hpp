// Work cut into numbered chunks and done by the calling thread and a worker
// together, so that both cores copy and convert: each takes the lowest chunk
// nobody has taken yet. The caller starts at once; a worker that wakes late
// takes fewer chunks, so the caller never waits for more than the one chunk
// the worker holds, and not at all for a worker that has not begun by the
// time every chunk is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "error.hpp"
#include "stop_check.hpp"

namespace kyr {

// Does chunk `chunk` as `worker`: 0 on the calling thread, 1 on the worker.
// The two run at the same time on different chunks. `stop` is the caller's
// check on the calling thread and never stops on the worker. Returns the
// `whole` value given to share_chunks() when the chunk was done completely;
// a smaller value (a file that ended early) ends the taking of chunks.
//
// In a forked child, the chunk the parent's worker held when the fork came
// is done again, as worker 1 on the calling thread: doing a chunk twice must
// leave the same result as doing it once.
using ChunkTask =
    std::function<Result<std::uint64_t>(std::size_t worker, std::uint64_t chunk, const StopCheck& stop)>;

// Does chunks [0, chunks) with `task`. Returns `whole`, the smallest value
// below it a task returned (later chunks may have been done too), the first
// failure, or `interrupted` when `stop`, asked on the calling thread before
// each chunk, says so. What a task throws is rethrown once both threads have
// stopped taking chunks.
Result<std::uint64_t> share_chunks(std::uint64_t chunks, std::uint64_t whole, const ChunkTask& task,
                                   const StopCheck& stop);

}  // namespace kyr
