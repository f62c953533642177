// Saving a state to a file: the encoding and the writing, shared with a
// worker so that both cores are busy.
#include <algorithm>
#include <bit>
#include <array>
#include <optional>

#include "chunk_buffer.hpp"
#include "disk_io.hpp"
#include "page_cache.hpp"
#include "posix_file.hpp"
#include "replace_file.hpp"
#include "shared_chunks.hpp"
#include "state_file.hpp"
#include "worker_thread.hpp"

namespace kyr {
namespace {

// New files from this size up get their blocks reserved before writing:
// filling reserved blocks skips ext4's per-page delayed allocation (a 64 MiB
// file was written in 13.5 ms instead of 20 ms, 128 KiB in 27 us instead of
// 31 us), while below it the extra call costs as much as it saves (96 KiB)
// or more (16 KiB: 21 us instead of 17 us).
constexpr std::uint64_t reserve_new_file_bytes = std::uint64_t{128} << 10;

// Files from this size up that stay in the page cache are written in shared
// chunks; smaller ones in file order. Shared chunks are an eighth of the
// file, from 128 KiB to 512 KiB: small enough that each thread writes what it
// just encoded from its own cache. Measured against one write() of the whole
// file from memory, alternating with it: at 1 MiB 136 us against 151 us
// (in file order 148 us), at 16 MiB 1.4 ms against 1.7 ms, at 1 GiB 154 ms
// against 221 ms.
constexpr std::uint64_t shared_write_from_bytes = std::uint64_t{1} << 20;
constexpr std::size_t shared_write_min_chunk_bytes = std::size_t{128} << 10;
constexpr std::size_t shared_write_max_chunk_bytes = std::size_t{512} << 10;

std::size_t shared_write_chunk_bytes(std::uint64_t size) {
    const auto eighth = static_cast<std::size_t>(std::bit_floor(size / 8));
    return std::clamp(eighth, shared_write_min_chunk_bytes, shared_write_max_chunk_bytes);
}

// Chunks written in file order: the first is encoded by the caller while
// nothing overlaps it, so it is small; each next one is encoded by a worker
// while the caller writes the one before, so it grows by a quarter at most,
// which the worker encodes in less time than the caller writes the smaller
// one (encoding ran at 69 us/MiB, writing at 112 us/MiB).
constexpr std::size_t first_chunk_bytes = std::size_t{256} << 10;
constexpr std::size_t chunk_growth_unit = std::size_t{64} << 10;

static_assert(shared_write_min_chunk_bytes % file_amplitude_bytes == 0 &&
              first_chunk_bytes % file_amplitude_bytes == 0 && chunk_growth_unit % file_amplitude_bytes == 0);

// Encodes bytes [offset, offset + out.size()) of the file of `state`. Both
// ends fall on amplitude boundaries, counting the header as one.
void encode_file_bytes(const QuantumState& state, std::uint64_t offset, std::span<std::byte> out) {
    std::size_t skip = 0;
    if (offset == 0) {
        encode_header(state, out.first<file_header_bytes>());
        skip = file_header_bytes;
    }
    const auto begin = static_cast<std::size_t>((offset + skip - file_header_bytes) / file_amplitude_bytes);
    const std::size_t amplitudes = (out.size() - skip) / file_amplitude_bytes;
    interleave(state.real().subspan(begin, amplitudes), state.imag().subspan(begin, amplitudes),
               out.subspan(skip));
}

// Bytes [offset, offset + bytes) of the file, planned at `planned` bytes.
struct FileChunk {
    std::uint64_t offset;
    std::size_t bytes;
    std::size_t planned;
};

// The chunk at `offset`, planned at `planned` bytes (at most `most`). It takes
// all that is left when that is less than twice its planned size, so files
// up to twice the first chunk are written in one piece.
FileChunk chunk_at(std::uint64_t offset, std::size_t planned, std::uint64_t size, std::size_t most) {
    const std::uint64_t left = size - offset;
    const bool rest = left <= std::min<std::uint64_t>(most, 2 * std::uint64_t{planned});
    return {offset, rest ? static_cast<std::size_t>(left) : planned, planned};
}

// The two buffers a save encodes into. The second is left out when the
// file is written in one piece.
using WriteBuffers = std::array<std::optional<ChunkBuffer>, 2>;

// The first chunk written in order with buffers of `most` bytes.
FileChunk first_chunk(std::uint64_t size, std::size_t most) {
    return chunk_at(0, std::min(first_chunk_bytes, most), size, most);
}

// Writes the file in order with write(), which pipes, devices and files
// written in place need, in chunks of at most the buffers' size.
Status write_in_order(const QuantumState& state, int fd, std::uint64_t size, const WriteBuffers& buffers,
                      const StopCheck& stop) {
    const std::size_t most = buffers[0]->bytes().size();
    const auto encode = [&](const FileChunk& chunk, std::size_t index) {
        const std::span<std::byte> bytes = buffers[index % 2]->bytes().first(chunk.bytes);
        encode_file_bytes(state, chunk.offset, bytes);
        return bytes;
    };
    WriteBehind write_behind(fd, streams_past_page_cache(size));
    FileChunk chunk = first_chunk(size, most);
    std::span<std::byte> encoded = encode(chunk, 0);
    for (std::size_t index = 0;; ++index) {
        if (stop()) {
            return interrupted();
        }
        const std::uint64_t end = chunk.offset + chunk.bytes;
        const bool last = end == size;
        Status written;
        const auto write = [&] { written = write_all(fd, encoded, stop); };
        const std::size_t grown = chunk.planned + chunk.planned / 4 / chunk_growth_unit * chunk_growth_unit;
        const FileChunk next_chunk = last ? chunk : chunk_at(end, std::min(grown, most), size, most);
        std::span<std::byte> next;
        if (!last) {
            run_alongside([&] { next = encode(next_chunk, index + 1); }, write);
        } else {
            write();
        }
        if (!written) {
            return written;
        }
        write_behind.written_up_to(end);
        if (last) {
            return {};
        }
        chunk = next_chunk;
        encoded = next;
    }
}

// Writes the file in chunks of the buffers' size that the caller and a worker
// each encode and write at their offsets, in no set order.
Status write_shared(const QuantumState& state, int fd, std::uint64_t size, const WriteBuffers& buffers,
                    const StopCheck& stop) {
    const std::size_t chunk_bytes = buffers[0]->bytes().size();
    const auto written = share_chunks(
        (size + chunk_bytes - 1) / chunk_bytes, size,
        [&](std::size_t worker, std::uint64_t k, const StopCheck& check) -> Result<std::uint64_t> {
            const std::uint64_t offset = k * chunk_bytes;
            const auto bytes = buffers[worker]->bytes().first(
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, size - offset)));
            encode_file_bytes(state, offset, bytes);
            if (auto wrote = write_all_at(fd, bytes, offset, check); !wrote) {
                return std::unexpected(wrote.error());
            }
            return size;
        },
        stop);
    if (!written) {
        return std::unexpected(written.error());
    }
    return {};
}

}  // namespace

Status write_state_file(QuantumState& state, const std::string& path, const StopCheck& stop) {
    // A file written in place is emptied when it is opened: everything that
    // can fail before the first byte is written happens before that.
    const std::uint64_t size = encoded_size(state);
    const bool shared = size >= shared_write_from_bytes && !streams_past_page_cache(size);
    const std::size_t buffer_bytes =
        shared ? shared_write_chunk_bytes(size)
               : static_cast<std::size_t>(std::min<std::uint64_t>(size, disk_chunk_bytes));
    const WriteBuffers buffers{std::optional<ChunkBuffer>(std::in_place, buffer_bytes),
                               first_chunk(size, buffer_bytes).bytes < size
                                   ? std::optional<ChunkBuffer>(std::in_place, buffer_bytes)
                                   : std::nullopt};
    auto file = ReplacementFile::open(path, stop);
    if (!file) {
        return std::unexpected(file.error());
    }
    if (file->replaces_existing_file() || size >= reserve_new_file_bytes) {
        reserve_space(file->fd(), size);
    }
    const Status written = shared && !file->writes_in_place()
                               ? write_shared(state, file->fd(), size, buffers, stop)
                               : write_in_order(state, file->fd(), size, buffers, stop);
    if (!written) {
        return written;
    }
    if (auto committed = file->commit(); !committed) {
        return committed;
    }
    state.set_source_path(path);
    return {};
}

}  // namespace kyr
