#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brellis::testing {

// A fresh directory set as BRELLIS_ROOT for the lifetime of the object; the previous value is
// restored and the directory removed afterwards. Not for concurrent use by several threads.
class TemporaryStateRoot {
 public:
  TemporaryStateRoot();
  ~TemporaryStateRoot();
  TemporaryStateRoot(const TemporaryStateRoot&) = delete;
  TemporaryStateRoot& operator=(const TemporaryStateRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

// Runs a program to its end (it inherits the environment, BRELLIS_ROOT included) and returns its
// exit status, or -1 when it could not be started or was killed by a signal.
int runProgram(const std::string& program, const std::vector<std::string>& arguments);

// Starts a program without waiting; returns its pid (or -1).
int startProgram(const std::string& program, const std::vector<std::string>& arguments);
// Waits for a started program; returns its exit status, or -1.
int waitProgram(int pid);

}  // namespace brellis::testing
