#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace brellis::platform::multipeer::testing {

// A child program with its stdin and stdout on pipes; stdout is read line by line with a limit.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int in[2];
    int out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~ChildProcess() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
  }
  bool started() const { return pid_ > 0; }

  // Waits for a line that starts with `prefix`; earlier lines are kept in lines().
  bool waitForLine(const std::string& prefix,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (size_t i = 0;; ++i) {
      while (i < lines_.size()) {
        if (lines_[i].rfind(prefix, 0) == 0) {
          lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
          return true;
        }
        ++i;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{stdout_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[256];
      ssize_t n = ::read(stdout_, buffer, sizeof buffer);
      if (n <= 0) return false;
      partial_.append(buffer, static_cast<size_t>(n));
      size_t newline;
      while ((newline = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, newline));
        partial_.erase(0, newline + 1);
      }
      i = static_cast<size_t>(-1);
    }
  }

  // Kills the child at once (no goodbye on any link) and reaps it.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

}  // namespace brellis::platform::multipeer::testing
