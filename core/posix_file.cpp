#include "posix_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "system_calls.hpp"
#include "worker_thread.hpp"

namespace kyr {
namespace {

// A single read or write never moves more than this (Linux caps it anyway).
constexpr std::size_t max_transfer_bytes = std::size_t{1} << 30;

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (fills the buffer); accept whichever the C library declares.
[[maybe_unused]] const char* message_of(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* message_of(const char* result, const char*) { return result; }

std::string_view prefix_of(IoDirection direction) {
    return direction == IoDirection::read ? "Read error: " : "Write error: ";
}

}  // namespace

std::string os_error_text(int code) {
    char buffer[256] = {};
    std::string text = message_of(strerror_r(code, buffer, sizeof buffer), buffer);
    const auto end = std::find_if_not(text.rbegin(), text.rend(), [](unsigned char c) {
                         return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
                                c == '\f';
                     }).base();
    text.erase(end, text.end());
    return text + " (os error " + std::to_string(code) + ")";
}

std::unexpected<Error> io_failure(IoDirection direction, std::string_view text) {
    std::string message(prefix_of(direction));
    message += text;
    return io_error(std::move(message));
}

std::unexpected<Error> os_failure(IoDirection direction, int code) {
    auto failure = io_failure(direction, os_error_text(code));
    failure.error().os_code = code;
    return failure;
}

FileDescriptor::~FileDescriptor() { close(); }

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int FileDescriptor::close() noexcept {
    if (fd_ < 0) {
        return 0;
    }
    // Not retried on EINTR: Linux releases the descriptor either way.
    const int result = system_calls().close(std::exchange(fd_, -1));
    return result == 0 || errno == EINTR ? 0 : errno;
}

namespace {

// Calls open_once() until it gives a descriptor. A replaced file is closed on
// the worker thread after its save returned; should that descriptor be the
// one missing, the open waits for it and tries once more.
template <class OpenOnce>
Result<FileDescriptor> open_retrying(const std::string& path, IoDirection direction,
                                     const StopCheck& stop, OpenOnce&& open_once) {
    if (path.find('\0') != std::string::npos) {
        return io_failure(direction, "path contains a NUL character");
    }
    bool waited = false;
    for (;;) {
        const int fd = open_once();
        if (fd >= 0) {
            return FileDescriptor(fd);
        }
        const int code = errno;
        if ((code == EMFILE || code == ENFILE) && !waited) {
            wait_for_background_jobs();
            waited = true;
        } else if (code != EINTR) {
            return os_failure(direction, code);
        } else if (stop()) {
            return interrupted();
        }
    }
}

}  // namespace

Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode,
                                 IoDirection direction, const StopCheck& stop) {
    return open_retrying(path, direction, stop, [&] {
        return system_calls().open(path.c_str(), flags | O_CLOEXEC, mode);
    });
}

Result<FileDescriptor> open_file_at(int directory, const std::string& path, int flags,
                                    mode_t mode, IoDirection direction, const StopCheck& stop) {
    return open_retrying(path, direction, stop, [&] {
        return system_calls().openat(directory, path.c_str(), flags | O_CLOEXEC, mode);
    });
}

namespace {

// Calls read_some(buffer, bytes, done) until `out` is full or the file ends.
template <class ReadSome>
Result<std::size_t> read_loop(std::span<std::byte> out, const StopCheck& stop,
                              ShortRead short_read, ReadSome&& read_some) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t want = std::min(out.size() - done, max_transfer_bytes);
        const ssize_t got = read_some(out.data() + done, want, done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            if (static_cast<std::size_t>(got) < want) {
                if (short_read == ShortRead::ends) {
                    break;
                }
                // A pipe's read that a signal cut short returns what it had,
                // not EINTR: the next read could block with the handler
                // still waiting to run.
                if (stop()) {
                    return interrupted();
                }
            }
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            return os_failure(IoDirection::read, errno);
        } else if (stop()) {
            return interrupted();
        }
    }
    return done;
}

}  // namespace

Result<std::size_t> read_up_to(int fd, std::span<std::byte> out, const StopCheck& stop,
                               ShortRead short_read) {
    return read_loop(out, stop, short_read, [&](std::byte* buffer, std::size_t bytes, std::size_t) {
        return system_calls().read(fd, buffer, bytes);
    });
}

Result<std::size_t> read_up_to_at(int fd, std::span<std::byte> out, std::uint64_t offset,
                                  const StopCheck& stop, ShortRead short_read) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - out.size()) {
        return os_failure(IoDirection::read, EOVERFLOW);
    }
    return read_loop(out, stop, short_read,
                     [&](std::byte* buffer, std::size_t bytes, std::size_t done) {
                         return system_calls().pread(fd, buffer, bytes,
                                                     static_cast<off_t>(offset + done));
                     });
}

void reserve_space(int fd, std::uint64_t bytes) noexcept {
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    // Without it, ext4 allocates lazily and, for a file that O_TRUNC emptied
    // or that is renamed over another, starts writeback of the whole file in
    // close() or rename(); the next overwrite then waits for the disk.
    if (bytes <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
    }
#else
    (void)fd;
    (void)bytes;
#endif
}

namespace {

// Calls write_some(buffer, bytes, done) until all of `data` is written.
template <class WriteSome>
Status write_loop(std::span<const std::byte> data, const StopCheck& stop, WriteSome&& write_some) {
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t want = std::min(data.size() - done, max_transfer_bytes);
        const ssize_t wrote = write_some(data.data() + done, want, done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
            // A pipe's write that a signal cut short returns what it moved,
            // not EINTR: the next write would block with the handler still
            // waiting to run.
            if (static_cast<std::size_t>(wrote) < want && stop()) {
                return interrupted();
            }
        } else if (wrote == 0) {
            return io_failure(IoDirection::write, "failed to write whole buffer");
        } else if (errno != EINTR) {
            return os_failure(IoDirection::write, errno);
        } else if (stop()) {
            return interrupted();
        }
    }
    return {};
}

}  // namespace

Status write_all(int fd, std::span<const std::byte> data, const StopCheck& stop) {
    return write_loop(data, stop, [&](const std::byte* buffer, std::size_t bytes, std::size_t) {
        return system_calls().write(fd, buffer, bytes);
    });
}

Status write_all_at(int fd, std::span<const std::byte> data, std::uint64_t offset, const StopCheck& stop) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - data.size()) {
        return os_failure(IoDirection::write, EFBIG);
    }
    return write_loop(data, stop, [&](const std::byte* buffer, std::size_t bytes, std::size_t done) {
        return system_calls().pwrite(fd, buffer, bytes, static_cast<off_t>(offset + done));
    });
}

}  // namespace kyr
