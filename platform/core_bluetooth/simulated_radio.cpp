#include "platform/core_bluetooth/simulated_radio.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <map>
#include <mutex>

#include "platform/dispatch/main_loop.h"
#include "platform/foundation/state_root.h"

namespace brellis::platform::core_bluetooth {

namespace fs = std::filesystem;
using foundation::Bytes;

namespace {

constexpr const char* kStateFile = "state";
constexpr const char* kAuthorizationFile = "authorization";
constexpr const char* kStartErrorFile = "start-error";
constexpr const char* kAdvertsFolder = "adverts";
constexpr const char* kAdvertExtension = ".adv";
constexpr const char* kRadioFolder = "radio";
constexpr const char* kSystemRadioFolder = "/run/brellis/radio";
constexpr const char* kNoRadioText = "Bluetooth is unsupported on this computer.";
constexpr const char* kNotPoweredOnText = "Bluetooth is not powered on.";
constexpr const char* kUnknownErrorText = "Unknown error.";
constexpr const char* kBadAdvertisementText = "The specified parameters are invalid.";
constexpr const char* kPublishFailedText = "The advertisement could not be put on air.";
constexpr size_t kMaxValueFileSize = 64;
constexpr size_t kMaxMessageFileSize = 4096;

enum class ReadResult { ok, missing, failed };

// Reads at most `limit` bytes, without following a link; `truncated` tells whether more followed.
ReadResult readFile(const fs::path& path, size_t limit, Bytes& out, bool& truncated) {
  out.clear();
  truncated = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::missing : ReadResult::failed;
  out.resize(limit + 1);
  size_t used = 0;
  while (used < out.size()) {
    ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return ReadResult::failed;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  truncated = used > limit;
  out.resize(std::min(used, limit));
  return ReadResult::ok;
}

// Replaces `path` whole: a reader sees the old content or the new one, never a part.
bool writeFileAtomically(const fs::path& path, const Bytes& content) {
  static std::atomic<uint64_t> counter{0};
  fs::path temporary = path;
  temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  bool ok = written == content.size();
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

bool writeText(const fs::path& path, const std::string& text) {
  return writeFileAtomically(path, Bytes(text.begin(), text.end()));
}

std::optional<int64_t> parseInteger(const Bytes& bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  auto isSpace = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A missing file gives `missing`; a file that cannot be read or parsed gives `garbled`.
int64_t readValue(const fs::path& path, int64_t missing, int64_t garbled) {
  Bytes bytes;
  bool truncated = false;
  switch (readFile(path, kMaxValueFileSize, bytes, truncated)) {
    case ReadResult::missing:
      return missing;
    case ReadResult::failed:
      return garbled;
    case ReadResult::ok:
      break;
  }
  if (truncated) return garbled;
  return parseInteger(bytes).value_or(garbled);
}

RadioStatus readStatus(const fs::path& directory) {
  std::error_code error;
  if (!fs::is_directory(directory, error)) {
    return {ManagerState::unsupported, ManagerAuthorization::allowedAlways};
  }
  auto state = readValue(directory / kStateFile, static_cast<int64_t>(ManagerState::poweredOn),
                         static_cast<int64_t>(ManagerState::unknown));
  auto authorization = readValue(directory / kAuthorizationFile,
                                 static_cast<int64_t>(ManagerAuthorization::allowedAlways),
                                 static_cast<int64_t>(ManagerAuthorization::notDetermined));
  return {static_cast<ManagerState>(state), static_cast<ManagerAuthorization>(authorization)};
}

// Advertiser names become file names: letters, digits, '-', '_' and '.', not starting with '.'.
bool isSafeAdvertiserName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

// Advertiser names made by this layer start with the owning process id ("<pid>-...").
bool ownerIsGone(const std::string& advertiser) {
  auto dash = advertiser.find('-');
  if (dash == std::string::npos) return false;
  int64_t pid = 0;
  auto [end, error] = std::from_chars(advertiser.data(), advertiser.data() + dash, pid);
  if (error != std::errc() || end != advertiser.data() + dash || pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

// Polls the radio folder on its own strand while at least one observer is registered.
struct SimulatedRadio::Monitor : std::enable_shared_from_this<SimulatedRadio::Monitor> {
  Monitor(fs::path dir, std::chrono::nanoseconds every)
      : directory(std::move(dir)),
        interval(std::max(every, std::chrono::nanoseconds(std::chrono::milliseconds(1)))),
        strand(asio::make_strand(dispatch::globalExecutor())),
        timer(strand) {}

  std::shared_ptr<void> add(std::function<void()> changed) {
    uint64_t id;
    {
      std::lock_guard lock(mutex);
      id = ++nextId;
      observers.emplace(id, std::move(changed));
    }
    asio::post(strand, [self = shared_from_this()] { self->startIfIdle(); });
    std::weak_ptr<Monitor> weak = shared_from_this();
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
      if (auto self = weak.lock()) {
        std::lock_guard lock(self->mutex);
        self->observers.erase(id);
      }
    });
  }

  // Strand only.
  void startIfIdle() {
    if (running) return;
    running = true;
    last = readStatus(directory);
    // The baseline may be newer than what a new observer read: let every observer look again.
    notifyAll();
    schedule();
  }

  void schedule() {
    timer.expires_after(interval);
    timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
      if (!error) self->poll();
    });
  }

  void poll() {
    {
      std::lock_guard lock(mutex);
      if (observers.empty()) {
        running = false;
        return;
      }
    }
    auto now = readStatus(directory);
    if (now != last) {
      last = now;
      notifyAll();
    }
    schedule();
  }

  // Observers read the status themselves, a moment after `last` was read: a change in between
  // that is undone before the next poll would leave them on the intermediate value for good.
  // So they are told again until the status read after telling them is the one before.
  void notifyAll() {
    for (;;) {
      std::vector<std::function<void()>> current;
      {
        std::lock_guard lock(mutex);
        for (auto& [id, fn] : observers) current.push_back(fn);
      }
      for (auto& fn : current) fn();
      auto after = readStatus(directory);
      if (after == last) return;
      last = after;
    }
  }

  const fs::path directory;
  const std::chrono::nanoseconds interval;
  asio::strand<asio::any_io_executor> strand;
  asio::steady_timer timer;  // strand only
  RadioStatus last;          // strand only
  bool running = false;      // strand only
  std::mutex mutex;
  std::map<uint64_t, std::function<void()>> observers;  // guarded by mutex
  uint64_t nextId = 0;                                  // guarded by mutex
};

SimulatedRadio::SimulatedRadio(fs::path directory, std::chrono::nanoseconds pollInterval)
    : directory_(std::move(directory)),
      monitor_(std::make_shared<Monitor>(directory_, pollInterval)) {}

SimulatedRadio::~SimulatedRadio() = default;

fs::path SimulatedRadio::defaultDirectory() {
  return foundation::statePath(kRadioFolder, kSystemRadioFolder);
}

RadioStatus SimulatedRadio::status() const { return readStatus(directory_); }

std::shared_ptr<void> SimulatedRadio::observe(std::function<void()> changed) {
  return monitor_->add(std::move(changed));
}

void SimulatedRadio::startAdvertising(const std::string& advertiser, Bytes payload,
                                      StartCompletion done) {
  if (!isSafeAdvertiserName(advertiser) || payload.size() != kBeaconPayloadSize) {
    done(radioError(kErrorInvalidParameters, kBadAdvertisementText));
    return;
  }
  auto current = readStatus(directory_);
  if (current.state == ManagerState::unsupported) {
    done(radioError(kErrorUnknown, kNoRadioText));
    return;
  }
  if (current.state != ManagerState::poweredOn) {
    done(radioError(kErrorUnknown, kNotPoweredOnText));
    return;
  }
  Bytes message;
  bool truncated = false;
  if (readFile(directory_ / kStartErrorFile, kMaxMessageFileSize, message, truncated) !=
      ReadResult::missing) {
    std::string text(message.begin(), message.end());
    done(radioError(kErrorUnknown, text.empty() ? kUnknownErrorText : text));
    return;
  }
  auto folder = directory_ / kAdvertsFolder;
  if (!foundation::ensureDirectory(folder) ||
      !writeFileAtomically(folder / (advertiser + kAdvertExtension), payload)) {
    done(radioError(kErrorUnknown, kPublishFailedText));
    return;
  }
  done(std::nullopt);
}

void SimulatedRadio::stopAdvertising(const std::string& advertiser) {
  if (!isSafeAdvertiserName(advertiser)) return;
  std::error_code error;
  fs::remove(directory_ / kAdvertsFolder / (advertiser + kAdvertExtension), error);
}

bool SimulatedRadio::install(const fs::path& directory, ManagerState state,
                             ManagerAuthorization authorization) {
  return foundation::ensureDirectory(directory) && setState(directory, state) &&
         setAuthorization(directory, authorization);
}

bool SimulatedRadio::uninstall(const fs::path& directory) {
  std::error_code error;
  fs::remove_all(directory, error);
  return !error;
}

bool SimulatedRadio::setState(const fs::path& directory, ManagerState state) {
  return writeText(directory / kStateFile, std::to_string(static_cast<int64_t>(state)) + "\n");
}

bool SimulatedRadio::setAuthorization(const fs::path& directory,
                                      ManagerAuthorization authorization) {
  return writeText(directory / kAuthorizationFile,
                   std::to_string(static_cast<int64_t>(authorization)) + "\n");
}

bool SimulatedRadio::setStartFailure(const fs::path& directory,
                                     std::optional<std::string> message) {
  if (message) return writeText(directory / kStartErrorFile, *message);
  std::error_code error;
  fs::remove(directory / kStartErrorFile, error);
  return !error;
}

std::vector<SimulatedRadio::Advertisement> SimulatedRadio::advertisements(
    const fs::path& directory) {
  std::vector<Advertisement> result;
  std::error_code error;
  fs::directory_iterator it(directory / kAdvertsFolder, error);
  if (error) return result;
  for (const auto& entry : it) {
    const auto& path = entry.path();
    if (path.extension() != kAdvertExtension) continue;
    std::string advertiser = path.stem().string();
    if (!isSafeAdvertiserName(advertiser) || ownerIsGone(advertiser)) continue;
    Bytes payload;
    bool truncated = false;
    if (readFile(path, kBeaconPayloadSize, payload, truncated) != ReadResult::ok) continue;
    if (truncated || payload.size() != kBeaconPayloadSize) continue;
    result.push_back({std::move(advertiser), std::move(payload)});
  }
  std::sort(result.begin(), result.end(),
            [](const auto& a, const auto& b) { return a.advertiser < b.advertiser; });
  return result;
}

std::shared_ptr<RadioBackend> systemRadio() {
  return std::make_shared<SimulatedRadio>(SimulatedRadio::defaultDirectory());
}

}  // namespace brellis::platform::core_bluetooth
