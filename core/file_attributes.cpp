#include "file_attributes.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include "system_calls.hpp"

namespace kyr {
namespace {

constexpr char access_acl[] = "system.posix_acl_access";
// An attribute list or value may grow between asking its size and reading it.
constexpr int max_size_attempts = 4;

// What get(buffer, bytes) reads, with a buffer grown until it fits; nothing,
// with errno set, when it fails.
template <class Get>
std::optional<std::vector<char>> read_whole(Get&& get) {
    std::vector<char> buffer(256);
    for (int attempt = 0; attempt < max_size_attempts; ++attempt) {
        const ssize_t got = get(buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(static_cast<std::size_t>(got));
            return buffer;
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
        const ssize_t needed = get(nullptr, 0);
        if (needed < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(needed));
    }
    errno = ERANGE;
    return std::nullopt;
}

}  // namespace

bool carry_attributes(const std::string& source, int fd) {
    SystemCalls& calls = system_calls();
    const auto names = read_whole([&](char* buffer, std::size_t bytes) {
        return calls.listxattr(source.c_str(), buffer, bytes);
    });
    if (!names) {
        // A filesystem without extended attributes has no ACLs either.
        return errno == ENOTSUP;
    }
    bool has_acl = false;
    const std::string_view list(names->data(), names->size());
    for (std::size_t begin = 0; begin < list.size();) {
        const std::size_t end = std::min(list.find('\0', begin), list.size());
        const std::string name(list.substr(begin, end - begin));
        begin = end + 1;
        const bool acl = name == access_acl;
        if (!acl && !name.starts_with("user.")) {
            continue;  // security.* and trusted.* belong to the new file itself
        }
        const auto value = read_whole([&](char* buffer, std::size_t bytes) {
            return calls.getxattr(source.c_str(), name.c_str(), buffer, bytes);
        });
        if (!value) {
            if (errno == ENODATA) {
                continue;  // removed meanwhile
            }
            return false;
        }
        if (calls.fsetxattr(fd, name.c_str(), value->data(), value->size(), 0) != 0) {
            return false;
        }
        has_acl = has_acl || acl;
    }
    if (has_acl) {
        return true;
    }
    // Removing an ACL that is not there costs a journal transaction on ext4:
    // only one that the folder's default ACL gave is removed.
    if (calls.fgetxattr(fd, access_acl, nullptr, 0) < 0) {
        return errno == ENODATA || errno == ENOTSUP;
    }
    return calls.fremovexattr(fd, access_acl) == 0;
}

}  // namespace kyr
