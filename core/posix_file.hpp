// Thin POSIX file layer for disk I/O: an owning descriptor and whole-buffer
// read and write loops. Failures come back as I/O errors whose message is
// "Read error: " or "Write error: " followed by the rendered OS error. Every
// call goes through system_calls(); a call interrupted by a signal (EINTR),
// and a read or write that a signal cut short, goes on unless the stop check
// says to end, which yields `interrupted`.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "error.hpp"
#include "stop_check.hpp"

namespace kyr {

enum class IoDirection { read, write };

// "{system message without trailing whitespace} (os error {code})".
std::string os_error_text(int code);

// An I/O error "{Read|Write} error: {text}".
std::unexpected<Error> io_failure(IoDirection direction, std::string_view text);

// The I/O error for the system error `code`.
std::unexpected<Error> os_failure(IoDirection direction, int code);

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    // Closes now; returns 0 or the errno of a failed close.
    int close() noexcept;

private:
    int fd_ = -1;
};

// Opens `path` with `flags` (plus O_CLOEXEC) and, for a created file, `mode`
// before the umask. A path with an embedded NUL is refused before the OS sees
// it, since the OS would silently stop at the NUL. An open that blocks (a
// FIFO without a peer) can be ended by a signal and the stop check. With no
// descriptor free (EMFILE, ENFILE), it waits for the files the worker thread
// is closing and tries once more.
Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode,
                                 IoDirection direction, const StopCheck& stop);

// The same for `path` relative to the directory open as `directory`.
Result<FileDescriptor> open_file_at(int directory, const std::string& path, int flags,
                                    mode_t mode, IoDirection direction, const StopCheck& stop);

// What a read that brings fewer bytes than asked means.
enum class ShortRead {
    read_on,  // maybe nothing: pipes and terminals deliver what they have
    ends,     // the end of the file: with O_DIRECT, where reading on from the
              // unaligned offset it leaves would fail
};

// Reads until `out` is full or the file ends; returns the bytes read.
Result<std::size_t> read_up_to(int fd, std::span<std::byte> out, const StopCheck& stop,
                               ShortRead short_read = ShortRead::read_on);

// The same from `offset` on, leaving the file position alone, so that several
// threads can read one file.
Result<std::size_t> read_up_to_at(int fd, std::span<std::byte> out, std::uint64_t offset,
                                  const StopCheck& stop, ShortRead short_read = ShortRead::read_on);

// Asks the filesystem to allocate `bytes` for `fd` now, leaving the file size
// alone. Advice only: a refusal (no room, no support) changes nothing, and a
// write that then runs out of room fails as it would have anyway.
void reserve_space(int fd, std::uint64_t bytes) noexcept;

// Writes all of `data`, continuing after partial writes.
Status write_all(int fd, std::span<const std::byte> data, const StopCheck& stop);

// The same at `offset`, leaving the file position alone, so that several
// threads can write one regular file.
Status write_all_at(int fd, std::span<const std::byte> data, std::uint64_t offset, const StopCheck& stop);

}  // namespace kyr
