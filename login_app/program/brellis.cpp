#include "login_app/program/brellis.h"

#include <unistd.h>

#include <asio/async_result.hpp>
#include <asio/use_awaitable.hpp>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "login_app/bluetooth_manager.h"
#include "login_app/launch_check.h"
#include "login_app/launch_check_gate.h"
#include "login_app/program_log.h"
#include "login_app/velkor_brellis_xpc_server.h"
#include "platform/dispatch/task.h"
#include "platform/os_log/logger.h"

namespace brellis::login_app::program {

namespace {

constexpr const char* kBluetoothCategory = "bluetooth";
constexpr const char* kBluetoothStateFormat = "bluetooth state is %ld";
constexpr const char* kBeaconRunVariable = "BRELLIS_BEACON_RUN_SECONDS";

void writeAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

// Continuations that nothing resumes: kept reachable so that the suspended task is not a leak.
std::mutex parkedMutex;
std::vector<std::function<void()>>* parked = new std::vector<std::function<void()>>();

asio::awaitable<void> suspendForever() {
  co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
      [](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        std::lock_guard lock(parkedMutex);
        parked->push_back([shared] {});
      },
      asio::use_awaitable);
}

}  // namespace

std::optional<double> beaconRunSecondsFromEnvironment() {
  const char* text = std::getenv(kBeaconRunVariable);
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (*end != '\0' || !std::isfinite(seconds) || seconds < 0) return std::nullopt;
  return seconds;
}

asio::awaitable<int> Brellis::main(std::vector<std::string> arguments) {
  const char* shell = std::getenv("SHELL");
  auto outcome =
      CommandLine::parse(arguments, shell ? std::optional<std::string>(shell) : std::nullopt);
  switch (outcome.kind) {
    case CommandLineOutcome::Kind::printOutput:
      writeAll(STDOUT_FILENO, outcome.text);
      co_return outcome.status;
    case CommandLineOutcome::Kind::printError:
      writeAll(STDERR_FILENO, outcome.text);
      co_return outcome.status;
    case CommandLineOutcome::Kind::run:
      break;
  }
  Brellis command{outcome.mode};
  co_await command.run();
  co_return 0;
}

asio::awaitable<void> Brellis::run() const {
  if (mode == Mode::checkBluetoothAccess) {
    LaunchCheckGate::open();  // no launch check in this mode
    auto manager = BluetoothManager::create();
    auto state = co_await manager->checkBluetoothAccess();
    platform::os_log::Logger(programLogSubsystem(), kBluetoothCategory)
        .debug(kBluetoothStateFormat, static_cast<int64_t>(state));
    co_return;
  }
  if (!co_await launchCheck()) co_return;
  auto& server = VelkorBrellisXPCServer::shared();
  co_await platform::dispatch::runOn(server.listener->executor(), server.listener->activate());
  co_await suspendForever();
}

}  // namespace brellis::login_app::program
