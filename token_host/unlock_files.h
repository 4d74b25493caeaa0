#pragma once

#include <filesystem>
#include <optional>

#include "token_host/unlock_data.h"

namespace brellis::token_host {

// A cache directory "com.velkor.tarvo.unlock" in the caches directory (<state root>/caches, or
// /var/cache) with a drop file (Base64 text of the binary property list of an UnlockData) and a
// status file (the binary property list of an UnlockStatus). Synchronous, lock-free; the
// locations are computed once per process, thread-safely.
class UnlockFiles {
 public:
  static std::optional<std::filesystem::path> directory();
  static std::optional<std::filesystem::path> dropFile();
  static std::optional<std::filesystem::path> statusFile();

  static void writeDropFile(const UnlockData& data);
  // Absent, without a log line, when the file is missing, unreadable, not Base64 or no record.
  static std::optional<UnlockData> readDropFile();
  static void writeStatusFile(bool isEnabled);
  static std::optional<bool> readStatusFile();
  static void removeDropFile();
  static void removeStatusFile();
  // The drop file, then the status file, then the directory.
  static void removeAll();

  // Forgets the computed locations (tests switch state roots).
  static void resetLocationsForTesting();
};

}  // namespace brellis::token_host
