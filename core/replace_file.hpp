// Writing a file so that its previous contents survive any failure. The new
// bytes go to a hidden temporary file beside the target, which replaces the
// target by rename() only once everything was written and closed: readers
// and a crash see the old file or the new one, whole. A failed or interrupted
// write removes the temporary file. Where no file exists yet, the bytes go to
// an unnamed file in the target's directory (O_TMPFILE) that is linked under
// the target's name at the end: a killed process leaves nothing behind.
//
// Where a rename would break what callers rely on, the target is opened,
// truncated and written in place instead: a target that is not a regular file
// (FIFO, /dev/null, a path through /proc such as /dev/stdout), a file with
// more than one hard link, a directory that refuses new files while the
// file itself is writable, and a file that the process may not write or, in a
// sticky directory, may not replace (there the write fails or succeeds
// exactly as writing the file always did).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "error.hpp"
#include "posix_file.hpp"
#include "stop_check.hpp"

namespace kyr {

class ReplacementFile {
public:
    // Prepares to replace `path`: a symlink keeps pointing at the file it
    // names, which is the one replaced. A replaced file keeps its permission
    // bits, and its owner and group where the process may set them; a new
    // file gets 0666 less the umask.
    static Result<ReplacementFile> open(const std::string& path, const StopCheck& stop);

    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    // Without a commit, removes the temporary file.
    ~ReplacementFile();

    int fd() const noexcept { return fd_.get(); }
    // The hidden file being written, or nothing when writing in place or to
    // an unnamed file.
    const std::optional<std::string>& temporary_path() const noexcept { return temporary_; }
    // Whether a file was at the target when writing began (or may be: every
    // write in place counts).
    bool replaces_existing_file() const noexcept { return replaces_existing_; }

    // Closes the file and, unless writing in place, puts it at the target:
    // renamed over the file there, or linked where there was none. On failure
    // the temporary file is removed.
    Status commit();

private:
    enum class Kind { in_place, named, unnamed };

    ReplacementFile(FileDescriptor fd, Kind kind, std::optional<std::string> temporary,
                    std::string target, bool replaces_existing);
    Status link_unnamed();
    void discard() noexcept;

    FileDescriptor fd_;
    Kind kind_;
    std::optional<std::string> temporary_;
    std::string target_;  // the path the file ends up at
    bool replaces_existing_;
};

}  // namespace kyr
