#include "platform/foundation/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/foundation/error_record.h"

extern char** environ;

namespace brellis::platform::foundation {

namespace {

[[noreturn]] void throwPosix(int error, const std::string& what) {
  ErrorRecord record;
  record.domain = kPosixErrorDomain;
  record.code = error;
  record.userInfo.set(kLocalizedDescriptionKey, PlistValue(what + ": " + std::strerror(error)));
  throw ErrorException(std::move(record));
}

struct Pipe {
  int read = -1;
  int write = -1;
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
};

// Reads both pipes until both are at their end, then reaps the child. Runs on its own thread.
ProcessTermination drainAndWait(pid_t pid, int out, int err,
                                const ProcessRunner::Options& options) {
  ProcessTermination termination;
  std::array<pollfd, 2> fds{pollfd{out, POLLIN, 0}, pollfd{err, POLLIN, 0}};
  std::array<Bytes*, 2> sinks{&termination.standardOutput, &termination.standardError};
  const auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
  bool killed = false;
  int open = 2;
  std::array<uint8_t, 16384> buffer{};
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 && !killed) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
    const int wait = killed ? 1000 : static_cast<int>(std::min<int64_t>(left.count(), 60000));
    int ready = ::poll(fds.data(), fds.size(), wait);
    if (ready < 0 && errno != EINTR) break;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        size_t room = options.maxOutputBytes - std::min(options.maxOutputBytes, sinks[i]->size());
        sinks[i]->insert(sinks[i]->end(), buffer.begin(),
                         buffer.begin() + std::min(static_cast<size_t>(n), room));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    termination.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    termination.status = WTERMSIG(status);
  }
  return termination;
}

class SystemProcessRunner : public ProcessRunner {
 public:
  explicit SystemProcessRunner(Options options) : options_(options) {}

  void launch(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
              Terminated terminated) override {
    Pipe out, err;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throwPosix(errno, "pipe");
    out.read = fds[0];
    out.write = fds[1];
    if (::pipe2(fds, O_CLOEXEC) != 0) throwPosix(errno, "pipe");
    err.read = fds[0];
    err.write = fds[1];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);

    std::vector<std::string> argv{executable.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    pid_t pid = -1;
    const int result =
        ::posix_spawn(&pid, executable.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) throwPosix(result, executable.string());

    ::close(std::exchange(out.write, -1));
    ::close(std::exchange(err.write, -1));
    const int outRead = std::exchange(out.read, -1);
    const int errRead = std::exchange(err.read, -1);
    std::thread([pid, outRead, errRead, options = options_, terminated = std::move(terminated)] {
      terminated(drainAndWait(pid, outRead, errRead, options));
    }).detach();
  }

 private:
  Options options_;
};

}  // namespace

std::shared_ptr<ProcessRunner> ProcessRunner::system(Options options) {
  return std::make_shared<SystemProcessRunner>(options);
}

std::shared_ptr<ProcessRunner> ProcessRunner::system() { return system(Options{}); }

}  // namespace brellis::platform::foundation
