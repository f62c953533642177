// How long file operations learn that they should end early. The disk layer
// asks between chunks and whenever a blocking system call was interrupted by a
// signal; the caller answers (the Python binding runs pending signal handlers).
#pragma once

#include <functional>

namespace kyr {

// Returns true when the operation must stop now; it then fails with an
// `interrupted` error and leaves no partial result behind.
using StopCheck = std::function<bool()>;

// The check of callers that cannot be interrupted: an interrupted system call
// is simply retried.
inline const StopCheck& never_stop() {
    static const StopCheck check = [] { return false; };
    return check;
}

}  // namespace kyr
