#include "platform/foundation/defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/file_coordination.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::foundation {

namespace {

constexpr size_t kMaxSuiteNameLength = 200;
constexpr size_t kMaxSuiteFileSize = 16 * 1024 * 1024;

const os_log::Logger& logger() {
  static const os_log::Logger log("Foundation", "Defaults");
  return log;
}

std::filesystem::path suitePath(const std::string& suite) {
  return Defaults::directory() / (suite + ".plist");
}

enum class ReadOutcome { ok, missing, corrupt };

// Reads the suite's file afresh. A file that is missing reads as empty; one that cannot be read
// as a dictionary reads as empty too, and is logged.
PlistDict readSuite(const std::string& suite, ReadOutcome* outcome = nullptr) {
  auto path = suitePath(suite);
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (outcome) *outcome = ReadOutcome::missing;
    if (errno != ENOENT) logger().error("cannot open defaults suite %{public}s", suite);
    return {};
  }
  Bytes bytes;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<size_t>(info.st_size) <= kMaxSuiteFileSize;
  if (ok) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    bytes.resize(done);
  }
  ::close(fd);
  if (ok && bytes.empty()) {
    if (outcome) *outcome = ReadOutcome::missing;
    return {};
  }
  if (ok) {
    try {
      auto value = readPlist(bytes);
      if (auto* dict = value.dict()) {
        if (outcome) *outcome = ReadOutcome::ok;
        return std::move(*dict);
      }
    } catch (const std::exception&) {
    }
  }
  logger().error("defaults suite %{public}s is unreadable and reads as empty", suite);
  if (outcome) *outcome = ReadOutcome::corrupt;
  return {};
}

bool writeSuite(const std::string& suite, const PlistDict& values) {
  auto bytes = writeBinaryPlist(PlistValue(values));
  if (!writeFileAtomically(suitePath(suite), bytes.data(), bytes.size())) {
    logger().error("cannot write defaults suite %{public}s", suite);
    return false;
  }
  return true;
}

// Runs `change` on the suite's current contents under the suite's lock and writes the result
// back when `change` says so.
bool locked(const std::string& suite, const std::function<bool(PlistDict&)>& change) {
  if (!ensureDirectory(Defaults::directory())) {
    logger().error("cannot create the defaults directory for %{public}s", suite);
    return false;
  }
  bool wrote = false;
  bool coordinated = coordinateWriting(suitePath(suite), [&](const std::filesystem::path&) {
    PlistDict values = readSuite(suite);
    if (change(values)) wrote = writeSuite(suite, values);
  });
  if (!coordinated) logger().error("cannot lock defaults suite %{public}s", suite);
  return wrote;
}

}  // namespace

bool isSafeSuiteName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxSuiteNameLength) {
    return false;
  }
  for (char c : name) {
    if (c == '/' || c == '\0') return false;
  }
  return true;
}

std::optional<Defaults> Defaults::open(std::string_view suiteName) {
  if (!isSafeSuiteName(suiteName)) return std::nullopt;
  return Defaults(std::string(suiteName));
}

std::filesystem::path Defaults::directory() {
  return statePath("defaults", "/var/lib/brellis/defaults");
}

std::optional<PlistValue> Defaults::object(std::string_view key) const {
  auto values = readSuite(suite_);
  if (auto* value = values.find(key)) return *value;
  return std::nullopt;
}

std::optional<Bytes> Defaults::data(std::string_view key) const {
  auto value = object(key);
  if (value && value->data()) return *value->data();
  return std::nullopt;
}

std::optional<std::string> Defaults::string(std::string_view key) const {
  auto value = object(key);
  if (value && value->string()) return *value->string();
  return std::nullopt;
}

bool Defaults::boolean(std::string_view key) const {
  auto value = object(key);
  if (!value) return false;
  if (auto b = value->boolean()) return *b;
  if (auto i = value->int64()) return *i != 0;
  return false;
}

int64_t Defaults::integer(std::string_view key) const {
  auto value = object(key);
  if (!value) return 0;
  if (auto i = value->int64()) return *i;
  if (auto b = value->boolean()) return *b ? 1 : 0;
  return 0;
}

PlistDict Defaults::dictionaryRepresentation() const { return readSuite(suite_); }

void Defaults::set(std::string_view key, PlistValue value) const {
  locked(suite_, [&](PlistDict& values) {
    values.set(std::string(key), std::move(value));
    return true;
  });
}

void Defaults::remove(std::string_view key) const {
  locked(suite_, [&](PlistDict& values) { return values.remove(key); });
}

bool Defaults::replaceIfEqual(std::string_view key, const std::optional<PlistValue>& expected,
                              const std::optional<PlistValue>& value) const {
  return locked(suite_, [&](PlistDict& values) {
    const PlistValue* current = values.find(key);
    bool matches = expected ? (current && *current == *expected) : current == nullptr;
    if (!matches) return false;
    if (value)
      values.set(std::string(key), *value);
    else
      values.remove(key);
    return true;
  });
}

void Defaults::update(const std::function<void(PlistDict&)>& change) const {
  locked(suite_, [&](PlistDict& values) {
    change(values);
    return true;
  });
}

void Defaults::removePersistentDomain(std::string_view suiteName) {
  if (!isSafeSuiteName(suiteName)) return;
  std::string suite(suiteName);
  if (!ensureDirectory(directory())) return;
  coordinateWriting(suitePath(suite),
                    [&](const std::filesystem::path& path) { ::unlink(path.c_str()); });
}

}  // namespace brellis::platform::foundation
