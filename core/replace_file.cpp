#include "replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "system_calls.hpp"
#include "worker_thread.hpp"

namespace kyr {
namespace {

// Beyond this many symlinks the path is left to open(), which reports ELOOP.
constexpr int max_symlink_hops = 40;
// Room left in a 255-byte file name for the temporary name's additions.
constexpr std::size_t max_derived_name_bytes = 200;
constexpr int max_name_attempts = 100;

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path with every symlink followed, and what lstat() found there.
struct FollowedPath {
    std::string path;
    struct stat status {};
    int status_error = 0;  // errno of lstat(), 0 when `status` holds
};

// The file a path names once symlinks are followed; nothing when the path
// leads through /proc, whose links (/dev/stdout -> /proc/self/fd/1) name open
// files rather than paths that could be replaced.
std::optional<FollowedPath> follow_symlinks(std::string path) {
    for (int hop = 0; hop < max_symlink_hops; ++hop) {
        struct stat link {};
        if (lstat(path.c_str(), &link) != 0) {
            return FollowedPath{std::move(path), {}, errno};
        }
        if (!S_ISLNK(link.st_mode)) {
            return FollowedPath{std::move(path), link, 0};
        }
        if (path.starts_with("/proc/")) {
            return std::nullopt;
        }
        std::string target(static_cast<std::size_t>(link.st_size) + 1, '\0');
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
            return std::nullopt;  // changed under us; let open() decide
        }
        target.resize(static_cast<std::size_t>(length));
        path = target.starts_with('/') ? target : directory_of(path) + target;
    }
    return std::nullopt;
}

// Six characters that differ between processes and between calls.
std::string unique_suffix() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = counter.fetch_add(1) ^ (std::uint64_t(getpid()) << 40) ^
                      std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    // splitmix64 finaliser
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    x ^= x >> 31;
    constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(6, 'x');
    for (char& c : suffix) {
        c = alphabet[x % (sizeof alphabet - 1)];
        x /= sizeof alphabet - 1;
    }
    return suffix;
}

// ".{name}.saving-XXXXXX" beside `target`: hidden, and recognisable should a
// killed process leave it behind.
std::string temporary_name_for(const std::string& target) {
    std::string name = name_of(target);
    if (name.size() > max_derived_name_bytes) {
        name.resize(max_derived_name_bytes);
    }
    return directory_of(target) + "." + name + ".saving-" + unique_suffix();
}

// Unnamed files are linked through their /proc/self/fd entry, which needs no
// privilege (linkat's AT_EMPTY_PATH does).
bool can_link_unnamed_files() {
    static const bool available = access("/proc/self/fd", X_OK) == 0;
    return available;
}

// Gives the unnamed file open as `fd` the name `name`; returns 0 or the
// errno. linkat() with AT_EMPTY_PATH skips the walk through /proc (2-3 us of
// a 30 us save), but kernels before 6.10 allow it only with
// CAP_DAC_READ_SEARCH and otherwise answer ENOENT.
int link_unnamed_file(int fd, const std::string& name) {
    if (system_calls().linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
        return 0;
    }
    if (errno != ENOENT && errno != EPERM) {
        return errno;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return system_calls().linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(),
                                 AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
}

bool directory_refuses_new_files(int code) {
    return code == EACCES || code == EPERM || code == EROFS;
}

// Whether renaming over `existing` would get past a refusal that writing it
// would meet: the file itself is not writable (the rename would replace a
// read-only file), or a sticky directory (like /tmp) protects another user's
// file from being replaced although it may be written.
bool rename_would_differ_from_writing(const std::string& target, const struct stat& existing) {
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return true;
    }
    const uid_t user = geteuid();
    if (user == 0 || existing.st_uid == user) {
        return false;
    }
    const std::string directory = directory_of(target);
    struct stat parent {};
    if (stat(directory.empty() ? "." : directory.c_str(), &parent) != 0) {
        return true;
    }
    return (parent.st_mode & S_ISVTX) != 0 && parent.st_uid != user;
}

}  // namespace

ReplacementFile::ReplacementFile(FileDescriptor fd, Kind kind,
                                 std::optional<std::string> temporary, std::string target,
                                 bool replaces_existing)
    : fd_(std::move(fd)),
      kind_(kind),
      temporary_(std::move(temporary)),
      target_(std::move(target)),
      replaces_existing_(replaces_existing) {}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      kind_(other.kind_),
      temporary_(std::exchange(other.temporary_, std::nullopt)),
      target_(std::move(other.target_)),
      replaces_existing_(other.replaces_existing_) {}

ReplacementFile::~ReplacementFile() { discard(); }

void ReplacementFile::discard() noexcept {
    fd_.close();
    if (temporary_) {
        unlink(temporary_->c_str());
        temporary_.reset();
    }
}

Result<ReplacementFile> ReplacementFile::open(const std::string& path, const StopCheck& stop) {
    const auto write_in_place = [&]() -> Result<ReplacementFile> {
        auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, IoDirection::write, stop);
        if (!fd) {
            return std::unexpected(fd.error());
        }
        return ReplacementFile(std::move(*fd), Kind::in_place, std::nullopt, path, true);
    };
    if (path.find('\0') != std::string::npos) {
        return write_in_place();  // refused with the usual message
    }
    const auto followed = follow_symlinks(path);
    if (!followed) {
        return write_in_place();
    }
    const std::string& target = followed->path;
    const struct stat& existing = followed->status;
    const bool exists = followed->status_error == 0;
    if (!exists && followed->status_error != ENOENT) {
        return write_in_place();  // open() reports what is wrong, as before
    }
    if (exists && (!S_ISREG(existing.st_mode) || existing.st_nlink > 1 ||
                   rename_would_differ_from_writing(target, existing))) {
        return write_in_place();
    }
    if (!exists && can_link_unnamed_files()) {
        const std::string directory = directory_of(target);
        auto fd = open_file(directory.empty() ? "." : directory, O_WRONLY | O_TMPFILE, 0666,
                            IoDirection::write, stop);
        if (fd) {
            return ReplacementFile(std::move(*fd), Kind::unnamed, std::nullopt, target, false);
        }
        if (fd.error().kind == ErrorKind::interrupted) {
            return std::unexpected(fd.error());
        }
        // Not supported here (EOPNOTSUPP, EISDIR), or refused: the named
        // file below meets the same refusal and reports it for the target.
    }
    for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
        std::string temporary = temporary_name_for(target);
        auto fd = open_file(temporary, O_WRONLY | O_CREAT | O_EXCL, 0666, IoDirection::write,
                            stop);
        if (fd) {
            if (exists) {
                // Best effort, as for any copy: without the right to set the
                // owner, the file becomes the saving user's.
                if (fchown(fd->get(), existing.st_uid, existing.st_gid) != 0) {
                    (void)fchown(fd->get(), static_cast<uid_t>(-1), existing.st_gid);
                }
                fchmod(fd->get(), existing.st_mode & 07777);
            }
            return ReplacementFile(std::move(*fd), Kind::named, std::move(temporary), target,
                                   exists);
        }
        const int code = fd.error().os_code;
        if (code == EEXIST) {
            continue;
        }
        if (exists && directory_refuses_new_files(code)) {
            return write_in_place();
        }
        return std::unexpected(fd.error());
    }
    return os_failure(IoDirection::write, EEXIST);
}

// Links the unnamed file at the target or, should a file have appeared
// there meanwhile, under a temporary name to be renamed over it.
Status ReplacementFile::link_unnamed() {
    const int code = link_unnamed_file(fd_.get(), target_);
    if (code == 0) {
        return {};
    }
    if (code != EEXIST) {
        return os_failure(IoDirection::write, code);
    }
    for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
        std::string temporary = temporary_name_for(target_);
        const int temporary_code = link_unnamed_file(fd_.get(), temporary);
        if (temporary_code == 0) {
            temporary_ = std::move(temporary);
            kind_ = Kind::named;
            return {};
        }
        if (temporary_code != EEXIST) {
            return os_failure(IoDirection::write, temporary_code);
        }
    }
    return os_failure(IoDirection::write, EEXIST);
}

Status ReplacementFile::commit() {
    // An unnamed file must be linked while it is still open. Should closing
    // it fail after it was linked at the target, it is taken away again, if
    // the target is still this file.
    struct stat written {};
    if (kind_ == Kind::unnamed) {
        if (fstat(fd_.get(), &written) != 0) {
            const int code = errno;
            discard();
            return os_failure(IoDirection::write, code);
        }
        if (auto linked = link_unnamed(); !linked) {
            discard();
            return linked;
        }
    }
    if (const int code = fd_.close(); code != 0) {
        struct stat at_target {};
        if (kind_ == Kind::unnamed && lstat(target_.c_str(), &at_target) == 0 &&
            at_target.st_dev == written.st_dev && at_target.st_ino == written.st_ino) {
            unlink(target_.c_str());
        }
        discard();
        return os_failure(IoDirection::write, code);
    }
    if (temporary_) {
        // Renaming over the last name of a file also frees its cached pages
        // and its blocks, which for a large file takes a third as long as
        // writing it (85-300 ms at 1 GiB). Held open, the file is freed
        // only when it is closed, and that is left to the worker thread.
        FileDescriptor replaced(::open(target_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (rename(temporary_->c_str(), target_.c_str()) != 0) {
            const int code = errno;
            discard();
            return os_failure(IoDirection::write, code);
        }
        temporary_.reset();
        if (replaced.get() >= 0) {
            // Shared, since a job must be copyable; the last owner closes it.
            run_in_background([held = std::make_shared<FileDescriptor>(std::move(replaced))] {
                held->close();
            });
        }
    }
    return {};
}

}  // namespace kyr
