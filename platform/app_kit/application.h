#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace brellis::platform::app_kit {

// What the application tells its delegate (NSApplicationDelegate). Every call arrives on the main
// thread, inside the main loop.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // Once, after the main loop has started (applicationDidFinishLaunching:).
  virtual void applicationDidFinishLaunching() {}
  // After each change of the screens' arrangement or sizes
  // (applicationDidChangeScreenParameters:).
  virtual void applicationDidChangeScreenParameters() {}
};

// The process's application object (NSApp). It owns the delegate; the main loop is the process's
// MainLoop (platform/dispatch), which the thread that calls applicationMain() runs for good.
class Application {
 public:
  static Application& shared();

  // Thread-safe. Set it before applicationMain() so that it sees did-finish-launching; a delegate
  // set later only receives later notifications.
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
  std::shared_ptr<ApplicationDelegate> delegate() const;

  // Thread-safe: tells the delegate on the main thread that the screen parameters changed
  // (NSApplicationDidChangeScreenParametersNotification). The screen layer calls it.
  void screenParametersDidChange();

  // Thread-safe, callable from any task: ends the process with `status` from the main thread,
  // after the main loop and the global pool have stopped, so that no pool thread runs while
  // static objects are destroyed. Standard output and error are flushed first. Does not return
  // to its caller's work in any useful sense: the caller should finish its handler promptly.
  void exitProcess(int status);

  bool isRunning() const;

  // Called once by applicationMain() on the main thread: marks the application running and tells
  // the delegate.
  void finishLaunching();

 private:
  Application() = default;

  mutable std::mutex mutex_;
  std::shared_ptr<ApplicationDelegate> delegate_;
  bool running_ = false;
};

// NSApplicationMain's place: on the calling thread (the process's main thread), starts the main
// loop, tells the delegate that launching finished, and runs the loop until exitProcess(). It
// never returns; the process ends through exitProcess() or a signal.
[[noreturn]] int applicationMain(int argc, char** argv);

}  // namespace brellis::platform::app_kit
