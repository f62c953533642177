// Errors as values for the pure C++ layers.
#pragma once

#include <expected>
#include <string>

namespace kyr {

// How a failure reaches Python: value -> ValueError, io -> OSError,
// type -> TypeError. `interrupted` means a stop check asked the operation to
// end (a signal handler raised); the caller already holds the reason.
enum class ErrorKind { value, io, type, interrupted };

struct Error {
    ErrorKind kind;
    std::string message;
    int os_code = 0;  // the system's error code behind an I/O error, if any
};

template <class T>
using Result = std::expected<T, Error>;

using Status = Result<void>;

inline std::unexpected<Error> value_error(std::string message) {
    return std::unexpected(Error{ErrorKind::value, std::move(message)});
}

inline std::unexpected<Error> io_error(std::string message) {
    return std::unexpected(Error{ErrorKind::io, std::move(message)});
}

inline std::unexpected<Error> interrupted() {
    return std::unexpected(Error{ErrorKind::interrupted, {}});
}

}  // namespace kyr
