#include "platform/xpc/service_directory.h"

#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/foundation/state_root.h"

namespace brellis::platform::xpc {

std::filesystem::path systemServiceDirectory() {
  return foundation::statePath("xpc/system", "/run/brellis/xpc/system");
}

std::filesystem::path userServiceDirectory() {
  std::filesystem::path fallback;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    fallback = std::filesystem::path(runtime) / "brellis/xpc";
  } else {
    fallback = "/tmp/brellis-" + std::to_string(::geteuid()) + "/xpc";
  }
  return foundation::statePath("xpc/user", fallback);
}

std::optional<std::string> invalidServiceName(std::string_view name) {
  if (name.empty()) return "empty service name";
  if (name == "." || name == "..") return "service name is a directory reference";
  if (name.size() > 255) return "service name longer than 255 bytes";
  for (char c : name) {
    if (c == '/') return "service name contains '/'";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return "service name contains a control character";
    }
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> servicePath(const std::filesystem::path& directory,
                                                 std::string_view name) {
  if (invalidServiceName(name)) return std::nullopt;
  auto path = directory / std::string(name);
  if (path.native().size() >= sizeof(sockaddr_un::sun_path)) return std::nullopt;
  return path;
}

}  // namespace brellis::platform::xpc
