#include "platform/crypto_token_kit/token_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "platform/foundation/defaults.h"
#include "platform/foundation/file_coordination.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::crypto_token_kit {

namespace {

namespace fs = std::filesystem;
using foundation::Bytes;
using foundation::PlistDict;

constexpr const char* kExtension = ".plist";
constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;

const os_log::Logger& log() {
  static const os_log::Logger logger("CryptoTokenKit", "TokenStore");
  return logger;
}

// Reads a regular file without following a link; absent when missing or unreadable.
std::optional<Bytes> readFile(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<size_t>(info.st_size) > kMaxFileBytes) {
    ::close(fd);
    return std::nullopt;
  }
  Bytes bytes;
  uint8_t buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) {
        ::close(fd);
        return std::nullopt;
      }
      break;
    }
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() > kMaxFileBytes) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  return bytes;
}

PlistDict parseContent(const Bytes& bytes, std::string_view classID) {
  if (bytes.empty()) return {};
  try {
    auto value = foundation::readPlist(bytes);
    if (auto* dict = value.dict()) return std::move(*dict);
  } catch (const std::exception&) {
  }
  log().error("Token configuration of %{public}s cannot be read; treating it as empty",
              std::string(classID));
  return {};
}

bool writeContent(const fs::path& path, const PlistDict& content) {
  Bytes bytes = foundation::writeBinaryPlist(content);
  return foundation::writeFileAtomically(path, bytes.data(), bytes.size());
}

}  // namespace

fs::path TokenStore::directory() {
  return foundation::statePath("token", "/var/lib/brellis/token");
}

std::optional<fs::path> TokenStore::pathForClass(std::string_view classID) {
  if (!foundation::isSafeSuiteName(classID)) return std::nullopt;
  return directory() / (std::string(classID) + kExtension);
}

std::vector<std::string> TokenStore::registeredClasses() {
  std::vector<std::string> classes;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory(), error)) {
    const std::string name = entry.path().filename().string();
    const size_t extensionLength = std::char_traits<char>::length(kExtension);
    if (name.size() <= extensionLength ||
        name.compare(name.size() - extensionLength, extensionLength, kExtension) != 0) {
      continue;
    }
    std::error_code statError;
    if (!entry.is_regular_file(statError) || entry.is_symlink(statError)) continue;
    std::string classID = name.substr(0, name.size() - extensionLength);
    if (foundation::isSafeSuiteName(classID)) classes.push_back(std::move(classID));
  }
  std::sort(classes.begin(), classes.end());
  return classes;
}

bool TokenStore::registerClass(std::string_view classID) {
  auto path = pathForClass(classID);
  if (!path || !foundation::ensureDirectory(directory())) return false;
  bool ok = false;
  foundation::coordinateWriting(*path, [&](const fs::path& target) {
    std::error_code error;
    if (fs::is_regular_file(fs::symlink_status(target, error))) {
      ok = true;
      return;
    }
    PlistDict content;
    content.set(kTokenConfigurationsKey, PlistDict{});
    ok = writeContent(target, content);
  });
  return ok;
}

bool TokenStore::unregisterClass(std::string_view classID) {
  auto path = pathForClass(classID);
  if (!path) return false;
  bool ok = false;
  foundation::coordinateWriting(*path, [&](const fs::path& target) {
    std::error_code error;
    ok = fs::remove(target, error) && !error;
  });
  return ok;
}

std::optional<PlistDict> TokenStore::read(std::string_view classID) {
  auto path = pathForClass(classID);
  if (!path) return std::nullopt;
  auto bytes = readFile(*path);
  if (!bytes) return std::nullopt;
  return parseContent(*bytes, classID);
}

bool TokenStore::update(std::string_view classID, const std::function<void(PlistDict&)>& change) {
  auto path = pathForClass(classID);
  if (!path) return false;
  bool ok = false;
  foundation::coordinateWriting(*path, [&](const fs::path& target) {
    auto bytes = readFile(target);
    if (!bytes) return;  // not registered (or removed meanwhile)
    PlistDict content = parseContent(*bytes, classID);
    change(content);
    ok = writeContent(target, content);
  });
  if (!ok) {
    log().error("Token configuration of %{public}s not written", std::string(classID));
  }
  return ok;
}

}  // namespace brellis::platform::crypto_token_kit
