#include "system_calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <type_traits>

#include "worker_thread.hpp"

namespace kyr {
namespace {

class RealCalls final : public SystemCalls {};
static_assert(std::is_trivially_destructible_v<RealCalls>);

constinit RealCalls real_calls;
// Read by the worker and read-ahead threads too, hence atomic.
constinit std::atomic<SystemCalls*> active_calls{&real_calls};

}  // namespace

int SystemCalls::open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int SystemCalls::openat(int directory, const char* path, int flags, mode_t mode) {
    return ::openat(directory, path, flags, mode);
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

ssize_t SystemCalls::pwrite(int fd, const void* buffer, std::size_t bytes, off_t offset) {
    return ::pwrite(fd, buffer, bytes, offset);
}

int SystemCalls::close(int fd) { return ::close(fd); }

int SystemCalls::linkat(int from_directory, const char* from, int to_directory, const char* to,
                        int flags) {
    return ::linkat(from_directory, from, to_directory, to, flags);
}

int SystemCalls::renameat(int from_directory, const char* from, int to_directory, const char* to) {
    return ::renameat(from_directory, from, to_directory, to);
}

int SystemCalls::unlinkat(int directory, const char* path, int flags) {
    return ::unlinkat(directory, path, flags);
}

int SystemCalls::fchown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }

int SystemCalls::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

ssize_t SystemCalls::listxattr(const char* path, char* names, std::size_t bytes) {
    return ::llistxattr(path, names, bytes);
}

ssize_t SystemCalls::getxattr(const char* path, const char* name, void* value, std::size_t bytes) {
    return ::lgetxattr(path, name, value, bytes);
}

ssize_t SystemCalls::fgetxattr(int fd, const char* name, void* value, std::size_t bytes) {
    return ::fgetxattr(fd, name, value, bytes);
}

int SystemCalls::fsetxattr(int fd, const char* name, const void* value, std::size_t bytes,
                           int flags) {
    return ::fsetxattr(fd, name, value, bytes, flags);
}

int SystemCalls::fremovexattr(int fd, const char* name) { return ::fremovexattr(fd, name); }

SystemCalls& system_calls() noexcept { return *active_calls.load(std::memory_order_acquire); }

// Files closed on the worker thread (replaced by a save) are closed through
// the calls in force when the close runs: they are let go before the calls
// change, so none reaches a test's fake, or a fake that no longer exists.
ScopedSystemCalls::ScopedSystemCalls(SystemCalls& replacement) noexcept
    : previous_((wait_for_background_jobs(),
                 active_calls.exchange(&replacement, std::memory_order_acq_rel))) {}

ScopedSystemCalls::~ScopedSystemCalls() {
    wait_for_background_jobs();
    active_calls.store(previous_, std::memory_order_release);
}

}  // namespace kyr
