// The system calls of the file layer behind one replaceable interface, so
// tests can make short transfers, EINTR, failing close() or rename(), name
// collisions and refused attributes happen exactly where they want them.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kyr {

// The real calls. Tests derive from it and override what they fake; every
// method returns what the system call returns and leaves its code in errno.
// The destructor is trivial, so the process-wide instance is never destroyed:
// a replaced file closed on the worker thread while static objects are
// destroyed at exit still finds a whole object.
class SystemCalls {
public:
    virtual int open(const char* path, int flags, mode_t mode);
    virtual int openat(int directory, const char* path, int flags, mode_t mode);
    virtual ssize_t read(int fd, void* buffer, std::size_t bytes);
    virtual ssize_t pread(int fd, void* buffer, std::size_t bytes, off_t offset);
    virtual ssize_t write(int fd, const void* buffer, std::size_t bytes);
    virtual ssize_t pwrite(int fd, const void* buffer, std::size_t bytes, off_t offset);
    virtual int close(int fd);
    virtual int linkat(int from_directory, const char* from, int to_directory, const char* to,
                       int flags);
    virtual int renameat(int from_directory, const char* from, int to_directory, const char* to);
    virtual int unlinkat(int directory, const char* path, int flags);
    virtual int fchown(int fd, uid_t owner, gid_t group);
    virtual int fchmod(int fd, mode_t mode);
    // The extended attributes of the file at `path` itself (a symlink is not
    // followed), as llistxattr() and lgetxattr().
    virtual ssize_t listxattr(const char* path, char* names, std::size_t bytes);
    virtual ssize_t getxattr(const char* path, const char* name, void* value, std::size_t bytes);
    virtual ssize_t fgetxattr(int fd, const char* name, void* value, std::size_t bytes);
    virtual int fsetxattr(int fd, const char* name, const void* value, std::size_t bytes,
                          int flags);
    virtual int fremovexattr(int fd, const char* name);

protected:
    ~SystemCalls() = default;
};

// The calls in force for the whole process.
SystemCalls& system_calls() noexcept;

// Puts `replacement` in force for its lifetime, and the calls in force before
// it back afterwards; waits for background jobs first each time (tests only;
// not thread-safe against file operations running at the same time).
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
