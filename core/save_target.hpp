// Where a save's target lives: its folder, held open, and its name there,
// found by following symlinks once. Every later call names files relative to
// the folder's descriptor, so a folder renamed while the save runs takes the
// save's files with it, and nothing is looked up by path twice.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "error.hpp"
#include "posix_file.hpp"
#include "stop_check.hpp"

namespace kyr {

class Folder {
public:
    // The folder at `path` ("" for the working directory). With no
    // descriptor free, it is named by its path instead, so that a save still
    // needs only the descriptor of the file it writes.
    static Result<Folder> open(const std::string& path, const StopCheck& stop);

    Folder() = default;  // the working directory, by path

    // The directory argument of the *at() calls, and the name to pass with it
    // for `name` inside the folder.
    int fd() const noexcept;
    std::string at(const std::string& name) const;
    // Whether the folder is procfs, whose symlinks (/proc/self/fd/1, which
    // /dev/stdout and /dev/fd/1 lead to) name open files, not paths.
    bool holds_descriptor_links() const noexcept;

    // Lets the folder's descriptor go, for one that the save needs more; the
    // folder is named by its path from then on.
    bool held_open() const noexcept { return fd_.get() >= 0; }
    void name_by_path() noexcept { fd_.close(); }

private:
    Folder(FileDescriptor fd, std::string path) noexcept
        : fd_(std::move(fd)), path_(std::move(path)) {}

    FileDescriptor fd_{-1};
    std::string path_;  // with its final '/', or empty for the working directory
};

struct SaveTarget {
    Folder folder;
    std::string name;   // inside `folder`
    std::string path;   // the same file by path, for calls that have no *at() form
    struct stat status {};
    int status_error = 0;  // errno of looking the name up, 0 when `status` holds
};

// The file `path` names once symlinks are followed. Nothing when the answer
// is to write `path` in place and let open() decide: it ends in a descriptor
// link, a loop of symlinks, a folder that cannot be opened, or a name that no
// file can have ("dir/"). Fails only when the stop check ends the search.
Result<std::optional<SaveTarget>> find_save_target(std::string path, const StopCheck& stop);

}  // namespace kyr
