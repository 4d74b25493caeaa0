#include "platform/app_kit/window_server.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/app_kit/application.h"
#include "platform/app_kit/main_queue.h"
#include "platform/app_kit/window.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::app_kit {

namespace {

constexpr const char* kRelativeDirectory = "window_server";
constexpr const char* kSystemDirectory = "/run/brellis/window_server";
constexpr const char* kScreensFile = "screens";
constexpr const char* kTapVerb = "tap";
constexpr size_t kMaxEventBytes = 4096;
constexpr size_t kMaxScreensBytes = 64 * 1024;

const os_log::Logger& log() {
  static const os_log::Logger logger("com.velkor.brellis.platform", "WindowServer");
  return logger;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(limit + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > limit) return std::nullopt;
  return text;
}

bool finite(std::initializer_list<double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

struct WindowServer::Watcher {
  std::mutex mutex;  // guards `descriptor` creation only; the rest is main-thread state
  std::unique_ptr<asio::posix::stream_descriptor> descriptor;
  std::filesystem::path watched;  // the folder the descriptor watches
  int folderWatch = -1;           // its watch number
  alignas(inotify_event) std::array<char, 4096> buffer{};
  std::map<std::string, std::weak_ptr<Window>> windows;
};

WindowServer& WindowServer::shared() {
  // Never destroyed: the main loop's handlers may reach it while the process exits.
  static WindowServer* server = [] {
    auto* created = new WindowServer();
    created->watcher_ = std::make_shared<Watcher>();
    return created;
  }();
  return *server;
}

std::filesystem::path WindowServer::directory() {
  return foundation::statePath(kRelativeDirectory, kSystemDirectory);
}
std::filesystem::path WindowServer::screensPath() { return directory() / kScreensFile; }
std::filesystem::path WindowServer::windowsDirectory() { return directory() / "windows"; }
std::filesystem::path WindowServer::eventsDirectory() { return directory() / "events"; }

std::vector<Rect> WindowServer::screenFrames() {
  std::vector<Rect> frames;
  auto text = readSmallFile(screensPath(), kMaxScreensBytes);
  if (!text) return frames;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::istringstream fields(line);
    double x, y, width, height;
    std::string extra;
    if (!(fields >> x >> y >> width >> height) || (fields >> extra) ||
        !finite({x, y, width, height}) || width <= 0 || height <= 0) {
      log().error("Ignoring malformed screen line: %{public}s", line);
      continue;
    }
    frames.push_back(Rect{{x, y}, {width, height}});
  }
  return frames;
}

std::optional<TapEvent> parseTapEvent(const std::string& text) {
  std::istringstream fields(text);
  std::string verb, window, extra;
  double x, y;
  if (!(fields >> verb >> window >> x >> y) || (fields >> extra) || verb != kTapVerb ||
      !finite({x, y})) {
    return std::nullopt;
  }
  return TapEvent{window, {x, y}};
}

void WindowServer::addWindow(const std::shared_ptr<Window>& window) {
  watcher_->windows[window->identifier()] = window;
  connect();
}

void WindowServer::removeWindow(const std::string& identifier) {
  watcher_->windows.erase(identifier);
}

void WindowServer::deliverEvents() {
  std::error_code error;
  std::vector<std::filesystem::path> files;
  for (std::filesystem::directory_iterator it(eventsDirectory(), error), end; !error && it != end;
       it.increment(error)) {
    const auto name = it->path().filename().string();
    if (!name.empty() && name[0] != '.') files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    auto text = readSmallFile(file, kMaxEventBytes);
    std::filesystem::remove(file, error);
    auto tap = text ? parseTapEvent(*text) : std::nullopt;
    if (!tap) {
      log().error("Ignoring malformed event %{public}s", file.filename().string());
      continue;
    }
    auto found = watcher_->windows.find(tap->window);
    auto window = found == watcher_->windows.end() ? nullptr : found->second.lock();
    if (!window) {
      log().info("Tap for window %{public}s, which is not here", tap->window);
      continue;
    }
    window->tap(tap->point);
  }
}

void WindowServer::connect() {
  auto watcher = watcher_;
  std::lock_guard lock(watcher->mutex);
  // A process watches the folder of its state root; a new root, or the folder made anew under the
  // same name (tests empty their root), moves the watch. Watching again gives a folder still
  // watched its old number, and a new folder a new one.
  const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE;
  if (watcher->descriptor && watcher->watched == directory() &&
      ::inotify_add_watch(watcher->descriptor->native_handle(), directory().c_str(), mask) ==
          watcher->folderWatch) {
    return;
  }
  if (watcher->descriptor) {
    std::error_code ignored;
    watcher->descriptor->close(ignored);
    watcher->descriptor.reset();
  }
  if (!foundation::ensureDirectory(eventsDirectory())) {
    log().error("Cannot create %{public}s", eventsDirectory().string());
    return;
  }
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    log().error("inotify: %{public}s", std::string(std::strerror(errno)));
    return;
  }
  const int folderWatch = ::inotify_add_watch(fd, directory().c_str(), mask);
  const int eventsWatch =
      ::inotify_add_watch(fd, eventsDirectory().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  if (folderWatch < 0 || eventsWatch < 0) {
    ::close(fd);
    log().error("Cannot watch %{public}s", directory().string());
    return;
  }
  watcher->descriptor = std::make_unique<asio::posix::stream_descriptor>(MainQueue::executor(), fd);
  watcher->watched = directory();
  watcher->folderWatch = folderWatch;

  // Reads inotify records on the main loop for the life of the process.
  struct Reader {
    std::shared_ptr<Watcher> watcher;
    asio::posix::stream_descriptor* descriptor;
    int folderWatch;
    void operator()() const {
      auto self = *this;
      descriptor->async_read_some(
          asio::buffer(watcher->buffer), [self](const std::error_code& error, size_t length) {
            if (error || self.watcher->descriptor.get() != self.descriptor) return;
            bool screens = false, events = false;
            for (size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
              const auto* event =
                  reinterpret_cast<const inotify_event*>(self.watcher->buffer.data() + offset);
              const std::string name = event->len ? event->name : "";
              if (event->wd == self.folderWatch && name == kScreensFile) screens = true;
              if (event->wd != self.folderWatch) events = true;
              offset += sizeof(inotify_event) + event->len;
            }
            if (screens) Application::shared().screenParametersDidChange();
            if (events) WindowServer::shared().deliverEvents();
            self();
          });
    }
  };
  Reader{watcher, watcher->descriptor.get(), folderWatch}();
  // Events written before the watch began.
  MainQueue::async([] { WindowServer::shared().deliverEvents(); });
}

}  // namespace brellis::platform::app_kit
