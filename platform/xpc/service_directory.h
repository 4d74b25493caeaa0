#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brellis::platform::xpc {

// Where named services live: <state root>/xpc/system (else /run/brellis/xpc/system) for the
// privileged directory; <state root>/xpc/user (else $XDG_RUNTIME_DIR/brellis/xpc, else
// /tmp/brellis-<uid>/xpc) for the user directory.
std::filesystem::path systemServiceDirectory();
std::filesystem::path userServiceDirectory();

// Why `name` cannot name a service (empty, ".", "..", '/', NUL, control characters, longer than
// 255 bytes), or nullopt when it can.
std::optional<std::string> invalidServiceName(std::string_view name);

// The socket path of a service, or nullopt when the name is invalid or the path would not fit
// into sockaddr_un.
std::optional<std::filesystem::path> servicePath(const std::filesystem::path& directory,
                                                 std::string_view name);

}  // namespace brellis::platform::xpc
