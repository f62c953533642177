#include "replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>

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

// The file a path names once symlinks are followed; nothing when the path
// leads through /proc, whose links (/dev/stdout -> /proc/self/fd/1) name open
// files rather than paths that could be replaced.
std::optional<std::string> follow_symlinks(std::string path) {
    for (int hop = 0; hop < max_symlink_hops; ++hop) {
        struct stat link {};
        if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            return path;
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

ReplacementFile::ReplacementFile(FileDescriptor fd, std::optional<std::string> temporary,
                                 std::string target)
    : fd_(std::move(fd)), temporary_(std::move(temporary)), target_(std::move(target)) {}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      temporary_(std::exchange(other.temporary_, std::nullopt)),
      target_(std::move(other.target_)) {}

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
        return ReplacementFile(std::move(*fd), std::nullopt, path);
    };
    if (path.find('\0') != std::string::npos) {
        return write_in_place();  // refused with the usual message
    }
    const auto target = follow_symlinks(path);
    if (!target) {
        return write_in_place();
    }
    struct stat existing {};
    const bool exists = stat(target->c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) {
        return write_in_place();  // open() reports what is wrong, as before
    }
    if (exists && (!S_ISREG(existing.st_mode) || existing.st_nlink > 1 ||
                   rename_would_differ_from_writing(*target, existing))) {
        return write_in_place();
    }
    for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
        std::string temporary = temporary_name_for(*target);
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
            return ReplacementFile(std::move(*fd), std::move(temporary), *target);
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

Status ReplacementFile::commit() {
    if (const int code = fd_.close(); code != 0) {
        discard();
        return os_failure(IoDirection::write, code);
    }
    if (temporary_) {
        if (rename(temporary_->c_str(), target_.c_str()) != 0) {
            const int code = errno;
            discard();
            return os_failure(IoDirection::write, code);
        }
        temporary_.reset();
    }
    return {};
}

}  // namespace kyr
