#include "system_calls.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace kyr {
namespace {

SystemCalls real_calls;
// Read by the read-ahead thread too, hence atomic.
std::atomic<SystemCalls*> active_calls{&real_calls};

}  // namespace

int SystemCalls::open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

ssize_t SystemCalls::read(int fd, void* buffer, std::size_t bytes) {
    return ::read(fd, buffer, bytes);
}

ssize_t SystemCalls::pread(int fd, void* buffer, std::size_t bytes, off_t offset) {
    return ::pread(fd, buffer, bytes, offset);
}

ssize_t SystemCalls::write(int fd, const void* buffer, std::size_t bytes) {
    return ::write(fd, buffer, bytes);
}

int SystemCalls::close(int fd) { return ::close(fd); }

int SystemCalls::linkat(int from_directory, const char* from, int to_directory, const char* to,
                        int flags) {
    return ::linkat(from_directory, from, to_directory, to, flags);
}

SystemCalls& system_calls() noexcept { return *active_calls.load(std::memory_order_acquire); }

ScopedSystemCalls::ScopedSystemCalls(SystemCalls& replacement) noexcept
    : previous_(active_calls.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedSystemCalls::~ScopedSystemCalls() { active_calls.store(previous_, std::memory_order_release); }

}  // namespace kyr
