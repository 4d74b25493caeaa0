#pragma once

// A peer program run as a child process with its input and output on pipes, for the
// cross-process tests. It inherits the environment (the state root included). The child is
// killed and reaped when the object goes away.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace brellis::ipc::testing {

class PeerProcess {
 public:
  PeerProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    if (::pipe2(output, O_CLOEXEC) != 0) {
      ::close(input[0]);
      ::close(input[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    input_ = input[1];
    output_ = output[0];
  }
  ~PeerProcess() {
    stop();
    if (output_ >= 0) ::close(output_);
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // The next line the peer prints, without its newline; nullopt when none comes in time or the
  // peer closed its output.
  std::optional<std::string> readLine(
      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (auto end = buffered_.find('\n'); end != std::string::npos) {
        std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || output_ < 0) return std::nullopt;
      pollfd p{output_, POLLIN, 0};
      int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char chunk[256];
      ssize_t n = ::read(output_, chunk, sizeof(chunk));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buffered_.append(chunk, static_cast<size_t>(n));
    }
  }

  bool writeLine(const std::string& line) {
    std::string text = line + "\n";
    return input_ >= 0 &&
           ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Closes the peer's input (its signal to end) and waits for it; returns its exit status, or
  // -1 when it was killed or had not started.
  int finish() {
    closeInput();
    return reap();
  }

  // Kills the peer at once and reaps it.
  void stop() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    closeInput();
    reap();
  }

 private:
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  int reap() {
    if (pid_ <= 0) return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffered_;
};

}  // namespace brellis::ipc::testing
