#include "testing/support/temporary_state_root.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string_view>

#include "testing/support/wait_until.h"

extern char** environ;

namespace brellis::testing {

namespace {

// Names the root a test executable made, so that a copy of it run by one of its tests (a death
// test's child) shares that root instead of making its own.
constexpr const char* kMadeRootVariable = "BRELLIS_TEST_PROCESS_ROOT";

// Set once by makeProcessStateRoot() before any thread starts; read-only afterwards.
std::filesystem::path& processRoot() {
  static std::filesystem::path root;
  return root;
}
bool& madeHere() {
  static bool made = false;
  return made;
}

std::atomic<bool>& inUse() {
  static std::atomic<bool> used{false};
  return used;
}

void empty(const std::filesystem::path& directory) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace

void makeProcessStateRoot() {
  if (!processRoot().empty()) return;
  const char* inherited = std::getenv(kMadeRootVariable);
  const char* named = std::getenv("BRELLIS_ROOT");
  if (inherited && named && *inherited && std::string_view(inherited) == named) {
    processRoot() = inherited;
    return;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "brellis-root-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  processRoot() = pattern;
  madeHere() = true;
  ::setenv("BRELLIS_ROOT", pattern.c_str(), 1);
  ::setenv(kMadeRootVariable, pattern.c_str(), 1);
}

void removeProcessStateRoot() {
  if (!madeHere()) return;
  std::error_code ignored;
  std::filesystem::remove_all(processRoot(), ignored);
}

TemporaryStateRoot::TemporaryStateRoot() : path_(processRoot()) {
  if (path_.empty()) throw std::logic_error("no process state root: main() makes it");
  if (inUse().exchange(true)) throw std::logic_error("a state root is already in use");
  empty(path_);
}

TemporaryStateRoot::~TemporaryStateRoot() {
  empty(path_);
  inUse() = false;
}

int startProgram(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return -1;
  }
  return pid;
}

int waitProgram(int pid) {
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int waitProgram(int pid, std::chrono::milliseconds limit) {
  if (pid < 0) return -1;
  int status = 0;
  if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
    ::kill(pid, SIGKILL);
    waitProgram(pid);
    return -2;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments) {
  return waitProgram(startProgram(program, arguments));
}

}  // namespace brellis::testing
