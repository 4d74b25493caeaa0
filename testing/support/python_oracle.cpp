#include "testing/support/python_oracle.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace brellis::testing {

namespace {

// A temporary file that is removed with the object.
class TemporaryFile {
 public:
  TemporaryFile() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brellis-oracle-XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    path_ = pattern;
  }
  ~TemporaryFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

}  // namespace

std::string OracleOutput::line() const {
  std::string text = out;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::filesystem::path plistOracleScript() { return BRELLIS_PLIST_ORACLE; }

OracleOutput runPythonOracle(const std::filesystem::path& script,
                             const std::vector<std::string>& arguments, const std::string& input) {
  OracleOutput result;
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return result;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return result;
  }
  std::vector<std::string> args = {BRELLIS_PYTHON3, script.string()};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return result;
  }
  // The oracles read all of stdin before they write, so writing first cannot deadlock.
  writeAll(in[1], input.data(), input.size());
  ::close(in[1]);
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.out.append(buffer, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

OracleOutput runPythonOracleOnFile(const std::filesystem::path& script,
                                   std::vector<std::string> arguments,
                                   const std::vector<uint8_t>& bytes) {
  TemporaryFile file;
  std::ofstream(file.path(), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  arguments.push_back(file.path());
  return runPythonOracle(script, arguments);
}

std::optional<std::vector<uint8_t>> runPythonOracleWritingFile(const std::filesystem::path& script,
                                                               std::vector<std::string> arguments,
                                                               const std::string& input) {
  TemporaryFile file;
  arguments.push_back(file.path());
  if (!runPythonOracle(script, arguments, input).ok()) return std::nullopt;
  std::ifstream in(file.path(), std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

}  // namespace brellis::testing
