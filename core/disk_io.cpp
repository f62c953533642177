#include "disk_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cerrno>
#include <new>
#include <variant>
#include <vector>

#include "chunk_buffer.hpp"
#include "posix_file.hpp"
#include "read_ahead.hpp"
#include "state_file.hpp"

namespace kyr {
namespace {

static_assert(disk_chunk_bytes % file_amplitude_bytes == 0 && disk_chunk_bytes > file_header_bytes);

// Verification splits chunks into blocks small enough to stay in L1.
constexpr std::size_t norm_block_amplitudes = 1024;

// A regular file whose header passed the checks, positioned at its amplitudes.
struct StreamedFile {
    FileDescriptor fd;
    FileHeader header;
};

// Pipes and devices have no size to check up front; they are read whole.
using WholeFile = std::vector<std::byte>;

Result<std::variant<StreamedFile, WholeFile>> open_state_file(const std::string& path) {
    auto fd = open_file(path, IoDirection::read);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    struct stat info {};
    if (fstat(fd->get(), &info) != 0) {
        return io_failure(IoDirection::read, os_error_text(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        auto contents = read_to_end(fd->get());
        if (!contents) {
            return std::unexpected(contents.error());
        }
        return std::move(*contents);
    }
    // Advice only; a refusal changes nothing.
    posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::array<std::byte, file_header_bytes> head{};
    const auto got = read_up_to(fd->get(), head);
    if (!got) {
        return std::unexpected(got.error());
    }
    // Fewer than 16 bytes means the file ended there, whatever its size said.
    const std::uint64_t length =
        *got < head.size() ? *got : std::max<std::uint64_t>(info.st_size, head.size());
    const auto header = parse_header(std::span(head).first(*got), length);
    if (!header) {
        return std::unexpected(header.error());
    }
    return StreamedFile{std::move(*fd), *header};
}

// Hands the amplitude bytes of `file` to consume(first_index, bytes) in
// chunks of whole amplitudes. A file that ends early (truncated while being
// read) yields the truncation error for the bytes it really had; the
// incomplete chunk is never consumed.
template <class Consume>
Status stream_amplitudes(const StreamedFile& file, Consume&& consume) {
    const std::uint64_t total = file_amplitude_bytes * file.header.amplitude_count();
    const auto got = read_chunks(file.fd.get(), total, disk_chunk_bytes,
                                 [&](std::uint64_t offset, std::span<const std::byte> bytes) {
                                     consume(offset / file_amplitude_bytes, bytes);
                                 });
    if (!got) {
        return std::unexpected(got.error());
    }
    if (*got < total) {
        return truncated_file(file.header.encoded_bytes(), file_header_bytes + *got);
    }
    return {};
}

Result<QuantumState> read_streamed(const StreamedFile& file) {
    // Allocation failure throws, as it does when decoding from memory.
    const std::size_t count = file.header.amplitude_count();
    AmplitudeBuffer real = AmplitudeBuffer::uninitialized(count);
    AmplitudeBuffer imag = AmplitudeBuffer::uninitialized(count);
    const auto streamed =
        stream_amplitudes(file, [&](std::uint64_t first, std::span<const std::byte> bytes) {
            deinterleave(bytes, real.data() + first, imag.data() + first);
        });
    if (!streamed) {
        return std::unexpected(streamed.error());
    }
    return assemble_state(file.header, std::move(real), std::move(imag));
}

// The squared norm in the exact order of QuantumState::norm_squared.
Result<double> streamed_norm_squared(const StreamedFile& file) {
    double acc = -0.0;
    std::array<double, norm_block_amplitudes> real;
    std::array<double, norm_block_amplitudes> imag;
    constexpr std::size_t block_bytes = norm_block_amplitudes * file_amplitude_bytes;
    const auto add_chunk = [&](std::uint64_t, std::span<const std::byte> bytes) {
        for (std::size_t offset = 0; offset < bytes.size(); offset += block_bytes) {
            const auto block = bytes.subspan(offset, std::min(block_bytes, bytes.size() - offset));
            deinterleave(block, real.data(), imag.data());
            acc = accumulate_norm_squared(acc, real.data(), imag.data(),
                                          block.size() / file_amplitude_bytes);
        }
    };
    const auto streamed = stream_amplitudes(file, add_chunk);
    if (!streamed) {
        return std::unexpected(streamed.error());
    }
    return acc;
}

Result<double> norm_squared_of_file(const std::string& path) {
    auto opened = open_state_file(path);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    if (auto* whole = std::get_if<WholeFile>(&*opened)) {
        const auto state = from_bytes(*whole);
        if (!state) {
            return std::unexpected(state.error());
        }
        return state->norm_squared();
    }
    return streamed_norm_squared(std::get<StreamedFile>(*opened));
}

}  // namespace

Status write_state_file(QuantumState& state, const std::string& path) {
    auto fd = open_file(path, IoDirection::write);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    const std::size_t count = std::min(state.real().size(), state.imag().size());
    reserve_space(fd->get(), encoded_size(state));
    const ChunkBuffer buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(encoded_size(state), disk_chunk_bytes)));
    // The first chunk carries the header, so later writes start at multiples
    // of the chunk size.
    encode_header(state, buffer.bytes().first<file_header_bytes>());
    std::size_t filled = file_header_bytes;
    std::size_t index = 0;
    do {
        const std::size_t n =
            std::min((buffer.bytes().size() - filled) / file_amplitude_bytes, count - index);
        const std::size_t end = filled + n * file_amplitude_bytes;
        interleave(state.real().subspan(index, n), state.imag().subspan(index, n),
                   buffer.bytes().subspan(filled, end - filled));
        if (auto written = write_all(fd->get(), buffer.bytes().first(end)); !written) {
            return written;
        }
        index += n;
        filled = 0;
    } while (index < count);
    if (const int code = fd->close(); code != 0) {
        return io_failure(IoDirection::write, os_error_text(code));
    }
    state.set_source_path(path);
    return {};
}

Result<QuantumState> read_state_file(const std::string& path) {
    auto opened = open_state_file(path);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    Result<QuantumState> state = std::holds_alternative<WholeFile>(*opened)
                                     ? from_bytes(std::get<WholeFile>(*opened))
                                     : read_streamed(std::get<StreamedFile>(*opened));
    if (state) {
        state->set_source_path(path);
    }
    return state;
}

bool verify_state_file(const std::string& path) {
    try {
        const auto norm_sq = norm_squared_of_file(path);
        return norm_sq && std::fabs(*norm_sq - 1.0) < 1e-6;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kyr
