// brellis-tap [--window ID] X Y
//
// Sends one tap to a window of the simulated window server of the state root (BRELLIS_ROOT): at
// the point (X, Y) of the window's content, in points from its top-left corner (the pixels of
// its PNG). Without --window the tap goes to the window whose record was written last. Exits 0
// once the event is in place (delivery is the program's business), 64 on a usage error, 1 when
// there is no window or the event cannot be written.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "platform/app_kit/window_server.h"
#include "platform/foundation/state_root.h"

namespace {

namespace fs = std::filesystem;
using brellis::platform::app_kit::WindowServer;

constexpr const char* kUsage = "usage: brellis-tap [--window ID] X Y\n";

std::optional<double> number(const std::string& text) {
  try {
    size_t used = 0;
    double value = std::stod(text, &used);
    if (used != text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

// The window whose record changed last.
std::optional<std::string> frontWindow() {
  std::error_code error;
  std::optional<std::string> front;
  fs::file_time_type newest;
  for (fs::directory_iterator it(WindowServer::windowsDirectory(), error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().extension() != ".plist") continue;
    auto time = fs::last_write_time(it->path(), error);
    if (error) continue;
    if (!front || time > newest) {
      front = it->path().stem().string();
      newest = time;
    }
  }
  return front;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> window;
  int i = 1;
  if (argc == 5 && std::string(argv[1]) == "--window") {
    window = argv[2];
    i = 3;
  } else if (argc != 3) {
    std::fputs(kUsage, stderr);
    return 64;
  }
  auto x = number(argv[i]), y = number(argv[i + 1]);
  if (!x || !y || (window && window->find_first_of(" \t\n/") != std::string::npos)) {
    std::fputs(kUsage, stderr);
    return 64;
  }
  if (!window) window = frontWindow();
  if (!window) {
    std::fputs("brellis-tap: no window on the window server\n", stderr);
    return 1;
  }
  const fs::path events = WindowServer::eventsDirectory();
  if (!brellis::platform::foundation::ensureDirectory(events)) {
    std::fprintf(stderr, "brellis-tap: cannot create %s\n", events.c_str());
    return 1;
  }
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  char name[64];
  std::snprintf(name, sizeof(name), "%020lld-%d",
                static_cast<long long>(std::chrono::nanoseconds(now).count()), ::getpid());
  const fs::path temporary = events / (std::string(".") + name);
  {
    std::ofstream out(temporary);
    out.precision(17);
    out << "tap " << *window << " " << *x << " " << *y << "\n";
    if (!out) {
      std::fprintf(stderr, "brellis-tap: cannot write %s\n", temporary.c_str());
      return 1;
    }
  }
  std::error_code error;
  fs::rename(temporary, events / name, error);
  if (error) {
    fs::remove(temporary, error);
    std::fputs("brellis-tap: cannot send the event\n", stderr);
    return 1;
  }
  return 0;
}
