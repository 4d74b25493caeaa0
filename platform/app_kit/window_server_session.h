#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brellis::platform::app_kit {

// What CGSessionCopyCurrentDictionary() reports: the graphical session this process can show
// windows in. Only its presence matters to callers; `source` says where it was found.
struct WindowServerSession {
  std::string source;
};

// CGSessionCopyCurrentDictionary's place; never blocks. With a state root (BRELLIS_ROOT) the
// session exists exactly when the file sessionFlagPath() exists. Without one: logind's seat0
// has an active session, or DISPLAY or WAYLAND_DISPLAY is set and not empty.
std::optional<WindowServerSession> sessionCopyCurrentDictionary();

// The flag file under the state root ("<root>/window_server/session"); only with a state root.
std::optional<std::filesystem::path> sessionFlagPath();

}  // namespace brellis::platform::app_kit
