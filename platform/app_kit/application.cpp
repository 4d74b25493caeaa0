#include "platform/app_kit/application.h"

#include <unistd.h>

#include <asio/post.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/dispatch/main_loop.h"

namespace brellis::platform::app_kit {

Application& Application::shared() {
  // Never destroyed: tasks may still reach it while the process exits.
  static Application* application = new Application();
  return *application;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

bool Application::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void Application::finishLaunching() {
  {
    std::lock_guard lock(mutex_);
    running_ = true;
  }
  if (auto current = delegate()) current->applicationDidFinishLaunching();
}

void Application::screenParametersDidChange() {
  asio::post(dispatch::MainLoop::shared().executor(), [this] {
    if (auto current = delegate()) current->applicationDidChangeScreenParameters();
  });
}

void Application::exitProcess(int status) {
  // Posted, so the exit happens on the main thread once the loop runs (also when the caller got
  // there before applicationMain() started the loop).
  asio::post(dispatch::MainLoop::shared().executor(), [status] {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    if (dispatch::shutdownForExit()) std::exit(status);
    _exit(status);
  });
}

int applicationMain(int /*argc*/, char** /*argv*/) {
  auto& loop = dispatch::MainLoop::shared();
  asio::post(loop.executor(), [] { Application::shared().finishLaunching(); });
  loop.run();
  // The loop only stops on the way out of the process (exitProcess); wait for that exit.
  for (;;) pause();
}

}  // namespace brellis::platform::app_kit
