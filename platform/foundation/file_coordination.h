#pragma once

#include <filesystem>
#include <functional>

namespace brellis::platform::foundation {

// Coordinated writing of one file between threads and processes (NSFileCoordinator, writing for
// merging): an exclusive flock on a lock file beside the target (<path>.lock), held while the
// accessor runs. The lock file is opened without following links and must be a regular file.
// Returns false (without running the accessor) when the lock cannot be taken.
bool coordinateWriting(const std::filesystem::path& path,
                       const std::function<void(const std::filesystem::path&)>& accessor);

// Writes the bytes to a temporary file in the same directory and renames it over `path`
// (which replaces a link at `path` without following it). Mode 0644. False on any failure.
bool writeFileAtomically(const std::filesystem::path& path, const void* data, size_t size);

}  // namespace brellis::platform::foundation
