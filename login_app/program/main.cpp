// brellis: the main program's entry; see brellis.h for its command line.

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "login_app/app_delegate.h"
#include "login_app/launch_check_gate.h"
#include "login_app/program/brellis.h"
#include "login_app/velkor_brellis_xpc_server.h"
#include "platform/app_kit/application.h"
#include "platform/app_kit/window_server.h"
#include "platform/app_kit/window_server_session.h"
#include "platform/dispatch/task.h"

namespace {

namespace app_kit = brellis::platform::app_kit;

// The command task: runs the root command and ends the process with its status.
asio::awaitable<void> commandTask(std::vector<std::string> arguments) {
  int status = co_await brellis::login_app::program::Brellis::main(std::move(arguments));
  app_kit::Application::shared().exitProcess(status);
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing happens before a window-server session exists, not even argument parsing.
  while (!app_kit::sessionCopyCurrentDictionary()) ::sleep(1);

  if (auto seconds = brellis::login_app::program::beaconRunSecondsFromEnvironment()) {
    brellis::login_app::VelkorBrellisXPCServer::Options options;
    options.session.beaconRun = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(*seconds));
    brellis::login_app::VelkorBrellisXPCServer::configureShared(std::move(options));
  }

  // The token manager that the login window makes waits for the launch check (or for a run
  // that does none) before it stores the peers.
  brellis::login_app::LaunchCheckGate::close();
  brellis::platform::dispatch::detach(commandTask(std::vector<std::string>(argv + 1, argv + argc)));
  // The application delegate (the login window) is set here, before the main loop starts.
  app_kit::Application::shared().setDelegate(brellis::login_app::AppDelegate::make());
  app_kit::WindowServer::shared().connect();
  app_kit::applicationMain(argc, argv);
}
