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

#include "file_attributes.hpp"
#include "system_calls.hpp"
#include "worker_thread.hpp"

namespace kyr {
namespace {

// Room left in a 255-byte file name for the temporary name's additions.
constexpr std::size_t max_derived_name_bytes = 200;
constexpr int max_name_attempts = 100;

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

// Calls attempt(temporary) with fresh names ".{name}.saving-XXXXXX" beside
// the target `name` (hidden, and recognisable should a process die with one
// named) while another file holds the name (EEXIST). Returns the name it
// succeeded with, as passed with folder.fd().
template <class Attempt>
Result<std::string> with_temporary_name(const Folder& folder, const std::string& name,
                                        Attempt&& attempt) {
    const std::string stem = "." + name.substr(0, max_derived_name_bytes) + ".saving-";
    for (int round = 0; round < max_name_attempts; ++round) {
        std::string temporary = folder.at(stem + unique_suffix());
        const Status done = attempt(temporary);
        if (done) {
            return temporary;
        }
        if (done.error().os_code != EEXIST) {
            return std::unexpected(done.error());
        }
    }
    return os_failure(IoDirection::write, EEXIST);
}

// Unnamed files are linked through their /proc/self/fd entry, which needs no
// privilege (linkat's AT_EMPTY_PATH does).
bool can_link_unnamed_files() {
    static const bool available = access("/proc/self/fd", X_OK) == 0;
    return available;
}

// Gives the unnamed file open as `fd` the name `at` in `folder`; returns 0 or
// the errno. linkat() with AT_EMPTY_PATH skips the walk through /proc (2-3 us
// of a 30 us save), but kernels before 6.10 allow it only with
// CAP_DAC_READ_SEARCH and otherwise answer ENOENT (EPERM in some versions).
int link_unnamed_file(int fd, const Folder& folder, const std::string& at) {
    SystemCalls& calls = system_calls();
    if (calls.linkat(fd, "", folder.fd(), at.c_str(), AT_EMPTY_PATH) == 0) {
        return 0;
    }
    if (errno != ENOENT && errno != EPERM) {
        return errno;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return calls.linkat(AT_FDCWD, self.c_str(), folder.fd(), at.c_str(), AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
}

bool directory_refuses_new_files(int code) {
    return code == EACCES || code == EPERM || code == EROFS;
}

// Whether renaming over the existing target would get past a refusal that
// writing it would meet: the file itself is not writable (the rename would
// replace a read-only file), or a sticky directory (like /tmp) protects
// another user's file from being replaced although it may be written.
bool rename_would_differ_from_writing(const SaveTarget& target) {
    if (faccessat(target.folder.fd(), target.folder.at(target.name).c_str(), W_OK, AT_EACCESS) !=
        0) {
        return true;
    }
    const uid_t user = geteuid();
    if (user == 0 || target.status.st_uid == user) {
        return false;
    }
    struct stat parent {};
    if (fstatat(target.folder.fd(), target.folder.at(".").c_str(), &parent, 0) != 0) {
        return true;
    }
    return (parent.st_mode & S_ISVTX) != 0 && parent.st_uid != user;
}

struct NewFile {
    FileDescriptor fd;
    std::optional<std::string> temporary;  // its hidden name, if it has one
};

// The file a save writes: unnamed where the filesystem allows, else under a
// hidden name beside the target `name`.
Result<NewFile> create_new_file(const Folder& folder, const std::string& name, mode_t mode,
                                const StopCheck& stop) {
    if (can_link_unnamed_files()) {
        auto fd = open_file_at(folder.fd(), folder.at("."), O_WRONLY | O_TMPFILE, mode,
                               IoDirection::write, stop);
        if (fd) {
            return NewFile{std::move(*fd), std::nullopt};
        }
        if (fd.error().kind == ErrorKind::interrupted) {
            return std::unexpected(fd.error());
        }
        // Not supported here (EOPNOTSUPP, EISDIR), or refused: the named
        // file below meets the same refusal and answers it.
    }
    std::optional<FileDescriptor> fd;
    auto temporary = with_temporary_name(folder, name, [&](const std::string& at) -> Status {
        auto opened = open_file_at(folder.fd(), at, O_WRONLY | O_CREAT | O_EXCL, mode,
                                   IoDirection::write, stop);
        if (!opened) {
            return std::unexpected(opened.error());
        }
        fd.emplace(std::move(*opened));
        return {};
    });
    if (!temporary) {
        return std::unexpected(temporary.error());
    }
    return NewFile{std::move(*fd), std::move(*temporary)};
}

// Gives the new file open as `fd` what decides who may reach the replaced
// file, its mode last: until then the file has at most the owner's part of
// the final mode (or, once the ACL is set, the final access), so nobody gets
// more access than the final file grants. False when the ACL or attributes
// cannot be carried over.
bool take_access_of(const struct stat& existing, const std::string& path, int fd) {
    SystemCalls& calls = system_calls();
    // Best effort, as for any copy: without the right to set the owner, the
    // file becomes the saving user's.
    if (calls.fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        (void)calls.fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
    if (!carry_attributes(path, fd)) {
        return false;
    }
    (void)calls.fchmod(fd, existing.st_mode & 07777);
    return true;
}

}  // namespace

ReplacementFile::ReplacementFile(Folder folder, std::string name, FileDescriptor fd, Kind kind,
                                 std::optional<std::string> temporary, bool replaces_existing)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      fd_(std::move(fd)),
      kind_(kind),
      temporary_(std::move(temporary)),
      replaces_existing_(replaces_existing) {}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : folder_(std::move(other.folder_)),
      name_(std::move(other.name_)),
      fd_(std::move(other.fd_)),
      kind_(other.kind_),
      temporary_(std::exchange(other.temporary_, std::nullopt)),
      replaces_existing_(other.replaces_existing_) {}

ReplacementFile::~ReplacementFile() { discard(); }

void ReplacementFile::discard() noexcept {
    fd_.close();
    if (temporary_) {
        system_calls().unlinkat(folder_.fd(), temporary_->c_str(), 0);
        temporary_.reset();
    }
}

Result<ReplacementFile> ReplacementFile::open(const std::string& path, const StopCheck& stop) {
    const auto write_in_place = [&]() -> Result<ReplacementFile> {
        auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, IoDirection::write, stop);
        if (!fd) {
            return std::unexpected(fd.error());
        }
        return ReplacementFile(Folder(), path, std::move(*fd), Kind::in_place, std::nullopt, true);
    };
    if (path.find('\0') != std::string::npos) {
        return write_in_place();  // refused with the usual message
    }
    auto found = find_save_target(path, stop);
    if (!found) {
        return std::unexpected(found.error());
    }
    if (!*found) {
        return write_in_place();
    }
    SaveTarget& target = **found;
    const bool exists = target.status_error == 0;
    if (!exists && target.status_error != ENOENT) {
        return write_in_place();  // open() reports what is wrong, as before
    }
    if (exists && (!S_ISREG(target.status.st_mode) || target.status.st_nlink > 1 ||
                   rename_would_differ_from_writing(target))) {
        return write_in_place();
    }
    // A file that replaces another may carry what others must not read until
    // it has that file's owner and access: it starts with no more than the
    // owner's part of the final mode.
    const mode_t mode = exists ? (target.status.st_mode & 0600) : 0666;
    auto created = create_new_file(target.folder, target.name, mode, stop);
    if (!created && target.folder.held_open() &&
        (created.error().os_code == EMFILE || created.error().os_code == ENFILE)) {
        // The folder took the last descriptor free.
        target.folder.name_by_path();
        created = create_new_file(target.folder, target.name, mode, stop);
    }
    if (!created) {
        if (exists && directory_refuses_new_files(created.error().os_code)) {
            return write_in_place();
        }
        return std::unexpected(created.error());
    }
    const Kind kind = created->temporary ? Kind::named : Kind::unnamed;
    ReplacementFile file(std::move(target.folder), std::move(target.name), std::move(created->fd),
                         kind, std::move(created->temporary), exists);
    if (exists && !take_access_of(target.status, target.path, file.fd())) {
        file.discard();
        return write_in_place();
    }
    return file;
}

// Gives the unnamed file a name: the target's where no file was there (sets
// `at_target`), else a hidden one, to be renamed over the target.
Status ReplacementFile::link_unnamed(bool& at_target) {
    if (!replaces_existing_) {
        const int code = link_unnamed_file(fd_.get(), folder_, folder_.at(name_));
        at_target = code == 0;
        if (code != 0 && code != EEXIST) {
            return os_failure(IoDirection::write, code);
        }
    }
    if (!at_target) {
        auto temporary = with_temporary_name(folder_, name_, [&](const std::string& at) -> Status {
            const int code = link_unnamed_file(fd_.get(), folder_, at);
            return code == 0 ? Status{} : os_failure(IoDirection::write, code);
        });
        if (!temporary) {
            return std::unexpected(temporary.error());
        }
        temporary_ = std::move(*temporary);
        kind_ = Kind::named;
    }
    return {};
}

Status ReplacementFile::commit() {
    // An unnamed file must be linked while it is still open. Should closing
    // it fail after it was linked at the target, it is taken away again, if
    // the target is still this file.
    struct stat written {};
    bool at_target = false;
    if (kind_ == Kind::unnamed) {
        if (!replaces_existing_ && fstat(fd_.get(), &written) != 0) {
            const int code = errno;
            discard();
            return os_failure(IoDirection::write, code);
        }
        if (auto linked = link_unnamed(at_target); !linked) {
            discard();
            return linked;
        }
    }
    const std::string target = folder_.at(name_);
    if (const int code = fd_.close(); code != 0) {
        struct stat now {};
        if (at_target && fstatat(folder_.fd(), target.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == written.st_dev && now.st_ino == written.st_ino) {
            system_calls().unlinkat(folder_.fd(), target.c_str(), 0);
        }
        discard();
        return os_failure(IoDirection::write, code);
    }
    if (temporary_) {
        // Renaming over the last name of a file also frees its cached pages
        // and its blocks, which for a large file takes a third as long as
        // writing it (85-300 ms at 1 GiB). Held open, the file is freed
        // only when it is closed, and that is left to the worker thread.
        SystemCalls& calls = system_calls();
        FileDescriptor replaced(
            calls.openat(folder_.fd(), target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
        if (calls.renameat(folder_.fd(), temporary_->c_str(), folder_.fd(), target.c_str()) != 0) {
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
