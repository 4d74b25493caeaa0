#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/os_log/logger.h"

namespace brellis::logging {

// Every message goes to the unified log under (subsystem, category) and as one line appended to
// the shared log file "/tmp/" + file + ".log", which both programs write. Writers coordinate
// through an exclusive lock, so lines of different processes never interleave. The lock file sits
// in a folder every user may write to: it is made 0600, one owned by another user or open to
// others (any group or other permission bit) is never waited on, and the wait for a held lock is
// bounded; without the lock the line is still written, uncoordinated, as one append. A file at
// or above maxFileSize bytes is replaced whole by the next line. Logging never fails towards the
// caller. Copies are independent and may be used from any thread.
class FileLogger {
 public:
  static constexpr const char* directory = "/tmp/";
  static constexpr const char* pathExtension = "log";
  static constexpr int64_t maxFileSize = 100000000;
  // The longest wait for another writer's lock.
  static constexpr std::chrono::milliseconds maxLockWait{2000};

  FileLogger(std::string file, std::string subsystem, std::string category);

  void info(const std::string& message) const;
  void error(const std::string& message) const;
  // The whole work of one message at any unified-log level (info and error are its callers).
  void log(platform::os_log::LogLevel level, const std::string& message) const;

  const std::string& path() const { return path_; }  // "/tmp/" + file
  std::string logFilePath() const;                   // path + ".log"
  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  // For tests: a fixed clock for the date of each line (the real clock by default).
  using Now = std::function<std::chrono::system_clock::time_point()>;
  void setNowForTesting(Now now) { now_ = std::move(now); }
  // For tests: a shorter bound of the wait for the lock.
  void setMaxLockWaitForTesting(std::chrono::milliseconds wait) { maxLockWait_ = wait; }

 private:
  std::string path_;
  platform::os_log::Logger osLog_;
  std::string subsystem_;
  std::string category_;
  Now now_;
  std::chrono::milliseconds maxLockWait_ = maxLockWait;
};

}  // namespace brellis::logging
