#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <atomic>
#include <memory>

#include "logging/file_logger.h"
#include "login_app/brellis_token_manager_dependencies.h"
#include "platform/app_kit/published.h"

namespace brellis::login_app {

// The model behind the login-window toggle. Learns from the daemon whether unlock is switched
// on, shows it in `isEnabled`, and on every change of `isEnabled` installs or removes the token
// configuration and reports the new state to the daemon.
//
// Threads: `isEnabled` is assigned on the main queue (platform::app_kit::MainQueue); the status
// fetch and every change-handling run are tasks on the shared pool, which read `isEnabled` and
// `didFinishUnlockStatus` through synchronised accessors. Each task holds the manager alive
// until it ends; the subscription in `cancellableSet` does not.
class TokenManager : public std::enable_shared_from_this<TokenManager> {
 public:
  // Creates the manager, subscribes to `isEnabled` (one change-handling run starts at once),
  // logs "Initializing token manager" and starts the status fetch. `taskExecutor` is where the
  // tasks run (the shared pool by default).
  static std::shared_ptr<TokenManager> make(BrellisTokenManagerDependencies dependencies);
  static std::shared_ptr<TokenManager> make(BrellisTokenManagerDependencies dependencies,
                                            asio::any_io_executor taskExecutor);

  TokenManager(const TokenManager&) = delete;
  TokenManager& operator=(const TokenManager&) = delete;

  // The toggle's binding. Assign on the main queue; every assignment starts change handling.
  platform::app_kit::Published<bool>& isEnabled() { return isEnabled_; }
  bool didFinishUnlockStatus() const { return didFinishUnlockStatus_.load(); }
  const BrellisTokenManagerDependencies& dependencies() const { return dependencies_; }
  const logging::FileLogger& logger() const { return logger_; }

  // Logs "Disabling Velkor Unlock" and removes "UnlockToken" from the token host's driver
  // configuration when there is one. Sends no status.
  void disable() const;

 private:
  TokenManager(BrellisTokenManagerDependencies dependencies, asio::any_io_executor taskExecutor);
  void start();
  void spawnChangeHandling();

  static asio::awaitable<void> fetchStatus(std::shared_ptr<TokenManager> self);
  static asio::awaitable<void> handleChange(std::shared_ptr<TokenManager> self);
  static asio::awaitable<void> enable(std::shared_ptr<TokenManager> self);
  static asio::awaitable<void> resetToDisabled(std::shared_ptr<TokenManager> self);

  platform::app_kit::Published<bool> isEnabled_{false};
  std::atomic<bool> didFinishUnlockStatus_{false};
  const BrellisTokenManagerDependencies dependencies_;
  const logging::FileLogger logger_;
  platform::app_kit::CancellableSet cancellableSet_;
  asio::any_io_executor taskExecutor_;
};

}  // namespace brellis::login_app
