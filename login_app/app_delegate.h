#pragma once

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "logging/file_logger.h"
#include "login_app/authorization_db_system_login_console.h"
#include "platform/app_kit/application.h"
#include "platform/app_kit/hosting_view.h"
#include "platform/app_kit/window.h"

namespace brellis::login_app {

// The application delegate of `brellis`. At launch it decides once whether the login window
// shows the toggle window: it reads the login window's authorization right with the security
// tool (in a task), then on the main thread reads the managed settings and shows the window, or
// logs that it stays hidden. On every screen-parameter change it places the window again.
//
// The delegate's calls and all window work run on the main thread; the read runs in a task on
// the shared pool. The window, once made, lives as long as the delegate (for the process).
class AppDelegate : public platform::app_kit::ApplicationDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  static constexpr double windowWidth = 242.0;
  static constexpr double windowHeight = 42.0;
  static constexpr double paddingY = 44.0;
  static constexpr const char* kLogCategory = "AppDelegate";

  // What the delegate uses, replaceable for tests.
  struct Collaborators {
    std::function<asio::awaitable<AuthorizationDBSystemLoginConsole>()> readRight;
    std::function<std::shared_ptr<platform::app_kit::RootView>()> makeContent;
  };
  // The security tool and a ContentView from the default dependencies.
  static Collaborators defaultCollaborators();

  static std::shared_ptr<AppDelegate> make();
  static std::shared_ptr<AppDelegate> make(Collaborators collaborators);

  void applicationDidFinishLaunching() override;
  void applicationDidChangeScreenParameters() override;

  // Main thread. The decision with the read's result (none when the read failed).
  void decide(const std::optional<AuthorizationDBSystemLoginConsole>& right);
  // Main thread. Centres the window, then moves its top edge paddingY below the top of the first
  // screen; without a screen, to one and a half times the centred y.
  void placeWindow();

  const std::shared_ptr<platform::app_kit::Window>& window() const { return window_; }
  const logging::FileLogger& logger() const { return logger_; }

 private:
  explicit AppDelegate(Collaborators collaborators);
  void showWindow();
  static asio::awaitable<void> launch(std::shared_ptr<AppDelegate> self);

  Collaborators collaborators_;
  logging::FileLogger logger_;
  std::shared_ptr<platform::app_kit::Window> window_;
};

// A 64-bit float as the platform describes it: the shortest digits that read back the same, laid
// out in decimal ("814.0", "1221.5", "100000.0", "0.0001") unless the magnitude is below 1e-4 or
// above 2^53, where the exponent form is used ("1e-05", "9.007199254740994e+15"); "inf", "-inf",
// "nan".
std::string doubleDescription(double value);

}  // namespace brellis::login_app
