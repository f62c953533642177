// The system calls of the file layer behind one replaceable interface, so
// tests can make short transfers, EINTR and failing close() happen exactly
// where they want them.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kyr {

// The real calls. Tests derive from it and override what they fake; every
// method returns what the system call returns and leaves its code in errno.
class SystemCalls {
public:
    virtual ~SystemCalls() = default;
    virtual int open(const char* path, int flags, mode_t mode);
    virtual ssize_t read(int fd, void* buffer, std::size_t bytes);
    virtual ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t offset);
    virtual ssize_t write(int fd, const void* buffer, std::size_t bytes);
    virtual int close(int fd);
    virtual int linkat(int from_directory, const char* from, int to_directory, const char* to,
                       int flags);
};

// The calls in force for the whole process.
SystemCalls& system_calls() noexcept;

// Puts `replacement` in force for its lifetime (tests only; not thread-safe
// against file operations running at the same time).
class ScopedSystemCalls {
public:
    explicit ScopedSystemCalls(SystemCalls& replacement) noexcept;
    ~ScopedSystemCalls();
    ScopedSystemCalls(const ScopedSystemCalls&) = delete;
    ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

private:
    SystemCalls* previous_;
};

}  // namespace kyr
