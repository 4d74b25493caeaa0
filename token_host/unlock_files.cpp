#include "token_host/unlock_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/foundation/base64.h"
#include "platform/foundation/error_record.h"
#include "platform/foundation/file_coordination.h"
#include "platform/foundation/main_bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"
#include "token_host/unlock_status.h"

namespace brellis::token_host {

namespace {

namespace fs = std::filesystem;
using platform::foundation::Bytes;
using platform::foundation::ErrorRecord;

constexpr const char* kLogCategory = "FileUtilities";
constexpr const char* kDirectoryName = "com.velkor.tarvo.unlock";
constexpr const char* kDropFileName = "com.velkor.tarvo.unlock.drop";
constexpr const char* kStatusFileName = "com.velkor.tarvo.unlock.status";
constexpr const char* kStatusFileExtension = ".plist";
constexpr const char* kURLsUndefined = "Unlock URLs undefined";
constexpr const char* kURLUndefined = "Unlock URL undefined";
constexpr const char* kWriteDropFile = "Write Unlock drop file";
constexpr const char* kWriteStatusFile = "Write Unlock status file";
constexpr const char* kWriteFailed = "Failed to write file with error: %{public}@";
constexpr const char* kWriteStatusFailed = "Failed to write status file with error: %{public}@";
constexpr const char* kReadStatusFailed = "Error reading Unlock status file";
constexpr const char* kRemoveFailed = "Failed to remove file with error: %{public}@";
constexpr size_t kMaxFileBytes = 1024 * 1024;

// Cocoa file error codes for what the system reports.
constexpr int64_t kFileNoSuchFileError = 4;
constexpr int64_t kFileWriteUnknownError = 512;
constexpr int64_t kFileWriteNoPermissionError = 513;
constexpr int64_t kFileWriteOutOfSpaceError = 640;

const platform::os_log::Logger& log() {
  static const platform::os_log::Logger logger(platform::foundation::mainBundleIdentifier(),
                                               kLogCategory);
  return logger;
}

struct Locations {
  std::optional<fs::path> directory;
  std::optional<fs::path> dropFile;
  std::optional<fs::path> statusFile;
};

std::mutex& locationsMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<Locations>& cachedLocations() {
  static std::optional<Locations> locations;
  return locations;
}

Locations locations() {
  std::lock_guard lock(locationsMutex());
  if (!cachedLocations()) {
    Locations made;
    fs::path caches = platform::foundation::statePath("caches", "/var/cache");
    if (platform::foundation::ensureDirectory(caches)) {
      made.directory = caches / kDirectoryName;
      made.dropFile = *made.directory / kDropFileName;
      made.statusFile = *made.directory / (std::string(kStatusFileName) + kStatusFileExtension);
    }
    cachedLocations() = made;
  }
  return *cachedLocations();
}

ErrorRecord fileError(int error) {
  int64_t code = kFileWriteUnknownError;
  if (error == ENOENT) code = kFileNoSuchFileError;
  if (error == EACCES || error == EPERM || error == EROFS) code = kFileWriteNoPermissionError;
  if (error == ENOSPC) code = kFileWriteOutOfSpaceError;
  return ErrorRecord{platform::foundation::kCocoaErrorDomain, code, {}};
}

std::optional<Bytes> readFile(const fs::path& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > kMaxFileBytes) {
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const Bytes& bytes, const char* failureFormat) {
  errno = 0;
  if (!platform::foundation::writeFileAtomically(path, bytes.data(), bytes.size())) {
    int error = errno;
    log().error(failureFormat, fileError(error).localizedDescription());
  }
}

void removeFile(const std::optional<fs::path>& path) {
  if (!path) {
    log().error(kURLUndefined);
    return;
  }
  // Whatever is at the location goes, a directory with its contents too.
  std::error_code error;
  auto removed = fs::remove_all(*path, error);
  if (error || removed == 0) {
    int code = error ? error.value() : ENOENT;
    log().error(kRemoveFailed, fileError(code).localizedDescription());
  }
}

}  // namespace

std::optional<fs::path> UnlockFiles::directory() { return locations().directory; }
std::optional<fs::path> UnlockFiles::dropFile() { return locations().dropFile; }
std::optional<fs::path> UnlockFiles::statusFile() { return locations().statusFile; }

void UnlockFiles::resetLocationsForTesting() {
  std::lock_guard lock(locationsMutex());
  cachedLocations().reset();
}

void UnlockFiles::writeDropFile(const UnlockData& data) {
  auto where = locations();
  if (!where.directory || !where.dropFile) {
    log().error(kURLsUndefined);
    return;
  }
  ::mkdir(where.directory->c_str(), 0755);  // without intermediates; a failure shows below
  log().info(kWriteDropFile);
  std::string text =
      platform::foundation::base64Encode(platform::foundation::writeBinaryPlist(data.encode()));
  writeFile(*where.dropFile, Bytes(text.begin(), text.end()), kWriteFailed);
}

std::optional<UnlockData> UnlockFiles::readDropFile() {
  auto where = locations();
  if (!where.dropFile) return std::nullopt;
  auto bytes = readFile(*where.dropFile);
  if (!bytes) return std::nullopt;
  auto decoded = platform::foundation::base64Decode(std::string(bytes->begin(), bytes->end()));
  if (!decoded) return std::nullopt;
  try {
    return UnlockData::decode(platform::foundation::readPlist(*decoded));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void UnlockFiles::writeStatusFile(bool isEnabled) {
  auto where = locations();
  if (!where.directory || !where.statusFile) {
    log().error(kURLsUndefined);
    return;
  }
  ::mkdir(where.directory->c_str(), 0755);
  log().info(kWriteStatusFile);
  writeFile(*where.statusFile,
            platform::foundation::writeBinaryPlist(UnlockStatus{isEnabled}.encode()),
            kWriteStatusFailed);
}

std::optional<bool> UnlockFiles::readStatusFile() {
  auto where = locations();
  std::optional<Bytes> bytes;
  if (where.statusFile) bytes = readFile(*where.statusFile);
  if (bytes) {
    try {
      return UnlockStatus::decode(platform::foundation::readPlist(*bytes)).isEnabled;
    } catch (const std::exception&) {
    }
  }
  log().error(kReadStatusFailed);
  return std::nullopt;
}

void UnlockFiles::removeDropFile() { removeFile(locations().dropFile); }
void UnlockFiles::removeStatusFile() { removeFile(locations().statusFile); }

void UnlockFiles::removeAll() {
  removeDropFile();
  removeStatusFile();
  removeFile(locations().directory);
}

}  // namespace brellis::token_host
