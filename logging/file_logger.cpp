#include "logging/file_logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/date_format.h"
#include "platform/foundation/file_coordination.h"

namespace brellis::logging {

namespace {

using platform::os_log::LogLevel;

const char* levelWord(LogLevel level) {
  switch (level) {
    case LogLevel::info:
      return "info";
    case LogLevel::error:
      return "error";
    default:
      return "unknown";
  }
}

// Appends to the file at `path` when it is a regular file below the size limit; otherwise
// replaces it with a file holding the line alone. Never follows a link at `path`: opening uses
// O_NOFOLLOW, and the replacement renames a new file over the path (which replaces a link
// itself, not its target). Every failure is swallowed.
void appendOrReplace(const std::filesystem::path& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  bool append = false;
  if (fd >= 0) {
    struct stat info {};
    append = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
             static_cast<int64_t>(info.st_size) < FileLogger::maxFileSize;
  }
  if (append) {
    size_t written = 0;
    while (written < line.size()) {
      ssize_t n = ::write(fd, line.data() + written, line.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    ::close(fd);
    return;
  }
  if (fd >= 0) ::close(fd);
  platform::foundation::writeFileAtomically(path, line.data(), line.size());
}

}  // namespace

FileLogger::FileLogger(std::string file, std::string subsystem, std::string category)
    : path_(std::string(directory) + file),
      osLog_(subsystem, category),
      subsystem_(std::move(subsystem)),
      category_(std::move(category)) {}

std::string FileLogger::logFilePath() const { return path_ + "." + pathExtension; }

void FileLogger::info(const std::string& message) const { log(LogLevel::info, message); }

void FileLogger::error(const std::string& message) const { log(LogLevel::error, message); }

void FileLogger::log(LogLevel level, const std::string& message) const {
  osLog_.log(level, "%{public}s", message);

  auto now = now_ ? now_() : std::chrono::system_clock::now();
  std::string line = platform::foundation::formatLogDate(now) + " [" + subsystem_ + "] - " +
                     levelWord(level) + " - " + category_ + ": " + message + "\n";

  std::filesystem::path file = logFilePath();
  bool coordinated = platform::foundation::coordinateWriting(
      file, [&](const std::filesystem::path& path) { appendOrReplace(path, line); },
      {.maxWait = maxLockWait_, .ownLockFileOnly = true});
  // A lock file that cannot be used (planted as a link, owned by another user, open to others,
  // or held past the bound) must neither hang the caller nor cost the line: write it
  // uncoordinated.
  if (!coordinated) appendOrReplace(file, line);
}

}  // namespace brellis::logging
