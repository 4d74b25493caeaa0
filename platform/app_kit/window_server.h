#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app_kit/geometry.h"

namespace brellis::platform::app_kit {

class Window;

// The simulated window server: a folder, <state root>/window_server (system place
// /run/brellis/window_server), shared by the programs that show windows and the tools that play
// the display and the user:
//   screens               the attached screens, one a line: "x y width height" in points, global
//                         coordinates (bottom-left origin); no file or no line: no screen
//   windows/<id>.plist    each window ordered in: identifier, frame (x, y, width, height),
//                         styleMask, backing, sharingType, canBecomeVisibleWithoutLogin,
//                         level, backgroundColor (r, g, b, a)
//   windows/<id>.png      its content as last drawn
//   events/<name>         one input event a file, written elsewhere and renamed in:
//                         "tap <window id> <x> <y>" (content coordinates, top-left origin);
//                         files whose names start with "." are ignored
// Every file is replaced by rename, so readers never see half of one.
class WindowServer {
 public:
  static WindowServer& shared();
  static std::filesystem::path directory();
  static std::filesystem::path screensPath();
  static std::filesystem::path windowsDirectory();
  static std::filesystem::path eventsDirectory();

  // The screens file as read now. Malformed lines are logged and skipped.
  static std::vector<Rect> screenFrames();

  // Starts watching the folder on the main loop (idempotent, thread-safe): a change of the
  // screens file tells the application (Application::screenParametersDidChange) and each event
  // file is consumed and delivered to its window on the main thread.
  void connect();

  // Windows register while ordered in, so that events reach them (main thread).
  void addWindow(const std::shared_ptr<Window>& window);
  void removeWindow(const std::string& identifier);

  // Delivers the event files present now (main thread); connect() calls it on every change.
  void deliverEvents();

 private:
  WindowServer() = default;
  struct Watcher;
  std::shared_ptr<Watcher> watcher_;
};

// Parses one event file's text: the window identifier and the point of a tap.
struct TapEvent {
  std::string window;
  Point point;
};
std::optional<TapEvent> parseTapEvent(const std::string& text);

}  // namespace brellis::platform::app_kit
