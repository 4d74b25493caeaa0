#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brellis::testing {

// Makes this process's state root, an empty directory, and names it in BRELLIS_ROOT. Called by
// the tests' main() before any thread starts: the environment is never changed while other
// threads may read it, and every child process inherits the same root. A test executable started
// by a test of the same executable (a death test's child) shares its parent's root.
void makeProcessStateRoot();
// Removes the process's state root (main(), after the tests).
void removeProcessStateRoot();

// The process's state root, emptied, for the lifetime of the object; emptied again afterwards,
// so each test starts from nothing. BRELLIS_ROOT is not changed. At most one exists at a time
// (a second one would empty the first's directory): constructing another throws. A death test's
// child that makes one empties its parent's root too.
class TemporaryStateRoot {
 public:
  TemporaryStateRoot();
  ~TemporaryStateRoot();
  TemporaryStateRoot(const TemporaryStateRoot&) = delete;
  TemporaryStateRoot& operator=(const TemporaryStateRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs a program to its end (it inherits the environment, BRELLIS_ROOT included) and returns its
// exit status, or -1 when it could not be started or was killed by a signal.
int runProgram(const std::string& program, const std::vector<std::string>& arguments);

// Starts a program without waiting; returns its pid (or -1).
int startProgram(const std::string& program, const std::vector<std::string>& arguments);
// Waits for a started program; returns its exit status, or -1.
int waitProgram(int pid);
// The same with a limit: a program (or forked child) still running at `limit` is killed and
// reaped, and -2 is returned.
int waitProgram(int pid, std::chrono::milliseconds limit);

}  // namespace brellis::testing
