// Who may reach a file beyond its mode bits: its access ACL, and the user.*
// extended attributes that travel with it. A file that replaces another by
// rename takes these over before it gets a name.
#pragma once

#include <string>

namespace kyr {

// Gives the file open as `fd` the access ACL and the user.* extended
// attributes of the file at `source` (a symlink is not followed), and takes
// away an access ACL that `fd` inherited from its folder where `source` has
// none. False when that cannot be done completely; the caller then writes
// `source` in place rather than give the new file more or less access.
bool carry_attributes(const std::string& source, int fd);

}  // namespace kyr
