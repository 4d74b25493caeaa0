#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

namespace brellis::platform::foundation {

// Coordinated writing of one file between threads and processes (NSFileCoordinator, writing for
// merging): an exclusive flock on a lock file beside the target (<path>.lock), held while the
// accessor runs. The lock file is opened without following links and must be a regular file.
// Returns false (without running the accessor) when the lock cannot be taken.
struct CoordinationLimits {
  // The longest wait for the lock; without one the wait lasts until the lock is free.
  std::optional<std::chrono::milliseconds> maxWait;
  // The lock file is ours alone: made 0600, and refused when another user owns it or when it
  // has any group or other permission bit. In a folder that everyone may write to, another user
  // can create the lock file first, or open ours for reading, and hold the lock for ever.
  bool ownLockFileOnly = false;
};
bool coordinateWriting(const std::filesystem::path& path,
                       const std::function<void(const std::filesystem::path&)>& accessor,
                       const CoordinationLimits& limits = {});

// Writes the bytes to a temporary file in the same directory and renames it over `path`
// (which replaces a link at `path` without following it). Mode 0644. False on any failure.
bool writeFileAtomically(const std::filesystem::path& path, const void* data, size_t size);

}  // namespace brellis::platform::foundation
