#include "testing/support/temporary_state_root.h"

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace brellis::testing {

TemporaryStateRoot::TemporaryStateRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brellis-root-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  if (const char* old = std::getenv("BRELLIS_ROOT")) previous_ = old;
  ::setenv("BRELLIS_ROOT", path_.c_str(), 1);
}

TemporaryStateRoot::~TemporaryStateRoot() {
  if (previous_)
    ::setenv("BRELLIS_ROOT", previous_->c_str(), 1);
  else
    ::unsetenv("BRELLIS_ROOT");
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
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

int runProgram(const std::string& program, const std::vector<std::string>& arguments) {
  return waitProgram(startProgram(program, arguments));
}

}  // namespace brellis::testing
