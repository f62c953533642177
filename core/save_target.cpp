#include "save_target.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kyr {
namespace {

// Beyond this many symlinks the path is left to open(), which reports ELOOP.
constexpr int max_symlink_hops = 40;

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Result<Folder> Folder::open(const std::string& path, const StopCheck& stop) {
    auto fd = open_file(path.empty() ? "." : path, O_PATH | O_DIRECTORY, 0, IoDirection::write,
                        stop);
    if (fd) {
        return Folder(std::move(*fd), path);
    }
    if (fd.error().os_code == EMFILE || fd.error().os_code == ENFILE) {
        return Folder(FileDescriptor(-1), path);
    }
    return std::unexpected(fd.error());
}

int Folder::fd() const noexcept { return fd_.get() >= 0 ? fd_.get() : AT_FDCWD; }

std::string Folder::at(const std::string& name) const {
    return fd_.get() >= 0 ? name : path_ + name;
}

bool Folder::holds_descriptor_links() const noexcept {
    struct statfs info {};
    const int result = fd_.get() >= 0 ? fstatfs(fd_.get(), &info)
                                      : statfs(path_.empty() ? "." : path_.c_str(), &info);
    return result == 0 && info.f_type == PROC_SUPER_MAGIC;
}

Result<std::optional<SaveTarget>> find_save_target(std::string path, const StopCheck& stop) {
    for (int hop = 0; hop < max_symlink_hops; ++hop) {
        std::string name = name_of(path);
        if (name.empty()) {
            return std::nullopt;
        }
        auto folder = Folder::open(directory_of(path), stop);
        if (!folder) {
            if (folder.error().kind == ErrorKind::interrupted) {
                return std::unexpected(folder.error());
            }
            return std::nullopt;
        }
        const std::string at = folder->at(name);
        struct stat status {};
        if (fstatat(folder->fd(), at.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            const int code = errno;
            return SaveTarget{std::move(*folder), std::move(name), std::move(path), {}, code};
        }
        if (!S_ISLNK(status.st_mode)) {
            return SaveTarget{std::move(*folder), std::move(name), std::move(path), status, 0};
        }
        if (folder->holds_descriptor_links()) {
            return std::nullopt;
        }
        std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
        const ssize_t length = readlinkat(folder->fd(), at.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
            return std::nullopt;  // changed under us; let open() decide
        }
        target.resize(static_cast<std::size_t>(length));
        path = target.starts_with('/') ? target : directory_of(path) + target;
    }
    return std::nullopt;
}

}  // namespace kyr
