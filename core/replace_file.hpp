// Writing a file so that its previous contents survive any failure. The new
// bytes go to an unnamed file in the target's folder (O_TMPFILE), which gets
// a name only once everything was written: linked at the target where no
// file was, or under a hidden name that rename() then puts over the target.
// Readers and a crash see the old file or the new one, whole, and a killed
// process leaves nothing behind. Filesystems without unnamed files get a
// hidden named file from the start, which a failed or interrupted write
// removes. Either way the new file has no more access than the final file
// at any moment while it has a name: it is created 0600 and takes the
// replaced file's owner, ACL and user.* attributes, then its mode.
//
// Where a rename would break what callers rely on, the target is opened,
// truncated and written in place instead: a target that is not a regular file
// (FIFO, /dev/null), a descriptor link (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N: the file or pipe open there is written), a file with more
// than one hard link, a directory that refuses new files while the file
// itself is writable, a file whose ACL or attributes cannot be carried over,
// and a file that the process may not write or, in a sticky directory, may
// not replace (there the write fails or succeeds exactly as writing the file
// always did).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "error.hpp"
#include "posix_file.hpp"
#include "save_target.hpp"
#include "stop_check.hpp"

namespace kyr {

class ReplacementFile {
public:
    // Prepares to replace `path`: a symlink keeps pointing at the file it
    // names, which is the one replaced. A replaced file keeps its permission
    // bits, ACL and user.* attributes, and its owner and group where the
    // process may set them; a new file gets 0666 less the umask.
    static Result<ReplacementFile> open(const std::string& path, const StopCheck& stop);

    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    // Without a commit, removes the temporary file.
    ~ReplacementFile();

    int fd() const noexcept { return fd_.get(); }
    bool writes_in_place() const noexcept { return kind_ == Kind::in_place; }
    // Whether a file was at the target when writing began (or may be: every
    // write in place counts).
    bool replaces_existing_file() const noexcept { return replaces_existing_; }

    // Closes the file and, unless writing in place, puts it at the target:
    // renamed over the file there, or linked where there was none. On failure
    // the temporary file is removed.
    Status commit();

private:
    enum class Kind { in_place, named, unnamed };

    ReplacementFile(Folder folder, std::string name, FileDescriptor fd, Kind kind,
                    std::optional<std::string> temporary, bool replaces_existing);
    Status link_unnamed(bool& at_target);
    void discard() noexcept;

    Folder folder_;
    std::string name_;  // the target's name in `folder_`
    FileDescriptor fd_;
    Kind kind_;
    std::optional<std::string> temporary_;  // as passed with folder_.fd()
    bool replaces_existing_;
};

}  // namespace kyr
