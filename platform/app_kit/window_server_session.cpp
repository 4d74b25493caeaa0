#include "platform/app_kit/window_server_session.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/foundation/state_root.h"

namespace brellis::platform::app_kit {

namespace {

constexpr const char* kSessionFlagRelative = "window_server/session";
// logind's state of the first seat: "ACTIVE=<session id>" while a session is in the foreground.
constexpr const char* kSeatStateFile = "/run/systemd/seats/seat0";

bool hasActiveSeatSession() {
  std::ifstream seat(kSeatStateFile);
  std::string line;
  while (std::getline(seat, line)) {
    if (line.rfind("ACTIVE=", 0) == 0 && line.size() > 7) return true;
  }
  return false;
}

bool nonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

std::optional<std::filesystem::path> sessionFlagPath() {
  auto root = foundation::stateRoot();
  if (!root) return std::nullopt;
  return *root / kSessionFlagRelative;
}

std::optional<WindowServerSession> sessionCopyCurrentDictionary() {
  if (auto flag = sessionFlagPath()) {
    std::error_code error;
    if (std::filesystem::exists(*flag, error)) return WindowServerSession{flag->string()};
    return std::nullopt;
  }
  if (hasActiveSeatSession()) return WindowServerSession{kSeatStateFile};
  if (nonEmptyVariable("WAYLAND_DISPLAY")) return WindowServerSession{"WAYLAND_DISPLAY"};
  if (nonEmptyVariable("DISPLAY")) return WindowServerSession{"DISPLAY"};
  return std::nullopt;
}

}  // namespace brellis::platform::app_kit
