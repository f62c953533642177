// Anonymous memory mappings for amplitude arrays and file chunk buffers, and
// a small stock of freed ones that is handed out again.
//
// Faulting fresh pages in is the largest fixed cost of a load, save or
// verify of 1 to 32 MiB: a 16-qubit load spent 95% of its time in 480 page
// faults. The C allocator stops recycling as soon as one call frees more
// than twice its largest recent block (it trims the heap), which a load,
// with two arrays and a read buffer, always does. Keeping freed mappings of
// up to `stock_limit_bytes` makes repeated calls fault nothing; a freed block
// larger than that is unmapped at once, so a 30-qubit state never lingers.
#pragma once

#include <cstddef>

namespace kyr {

// Freed mappings kept for reuse, in bytes at most. Covers a 20-qubit load
// (two 8 MiB arrays and two 4 MiB read buffers).
inline constexpr std::size_t stock_limit_bytes = std::size_t{32} << 20;

struct MappedBlock {
    void* data = nullptr;  // nullptr when mapping failed
    std::size_t bytes = 0;
    // Handed out zero-filled: pages never written are still unmapped, and
    // the first write to each would fault it in.
    bool maybe_untouched = false;
};

// A new zero-filled mapping of at least `bytes` (not 0). From 2 MiB up it is
// aligned to, and advised for, transparent huge pages.
MappedBlock map_zeroed(std::size_t bytes) noexcept;

// A mapping of at least `bytes` (not 0) with unspecified contents: a freed
// one no more than twice as large when the stock has it (one whose pages
// were all written, if it can), else a new one.
MappedBlock map_uninitialized(std::size_t bytes) noexcept;

// Returns `block` (from either function above) to the stock, unmapping the
// oldest blocks when the stock would exceed its limit.
void unmap_or_keep(MappedBlock block) noexcept;

}  // namespace kyr
