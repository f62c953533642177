// Errors as values for the pure C++ layers.
#pragma once

#include <expected>
#include <string>

namespace kyr {

// How a failure reaches Python: value -> ValueError, io -> OSError,
// type -> TypeError.
enum class ErrorKind { value, io, type };

struct Error {
    ErrorKind kind;
    std::string message;
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

}  // namespace kyr
