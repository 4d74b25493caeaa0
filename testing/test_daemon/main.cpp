// brellis-test-daemon: serves TarvoDaemonInterface for tests and the demo; see test_daemon.h.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/dispatch/main_loop.h"
#include "testing/test_daemon/test_daemon.h"

namespace {

constexpr const char* kUsage =
    "usage: brellis-test-daemon [--service NAME] [--user] [--unlock-data FILE]\n"
    "                           [--unlock-status FILE] [--shared-secret FILE]\n";

std::optional<brellis::platform::foundation::Bytes> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return brellis::platform::foundation::Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  using brellis::testing::TestDaemon;
  TestDaemon::Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    bool hasValue = i + 1 < args.size();
    if (flag == "--user") {
      options.privileged = false;
    } else if (flag == "--service" && hasValue) {
      options.serviceName = args[++i];
    } else if ((flag == "--unlock-data" || flag == "--unlock-status" ||
                flag == "--shared-secret") &&
               hasValue) {
      auto bytes = readFile(args[++i]);
      if (!bytes) {
        std::fprintf(stderr, "cannot read %s\n", args[i].c_str());
        return 1;
      }
      (flag == "--unlock-data"     ? options.unlockData
       : flag == "--unlock-status" ? options.unlockStatus
                                   : options.sharedSecret) = std::move(bytes);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  TestDaemon daemon(options);
  std::string why;
  if (!daemon.start(&why)) {
    std::fprintf(stderr, "cannot serve %s: %s\n", options.serviceName.c_str(), why.c_str());
    return 1;
  }
  {
    std::ofstream ready(daemon.stateDirectory() / "ready", std::ios::trunc);
    ready << getpid() << "\n";
  }
  int received = 0;
  sigwait(&signals, &received);
  daemon.stop();
  std::fflush(nullptr);
  _exit(0);
}
