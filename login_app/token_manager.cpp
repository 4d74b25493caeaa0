#include "login_app/token_manager.h"

#include <functional>

#include "connectivity/peer_defaults.h"
#include "login_app/launch_check_gate.h"
#include "login_app/program_log.h"
#include "login_app/unlock_data_operations.h"
#include "platform/app_kit/main_queue.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/task.h"
#include "token_host/unlock_token_configuration.h"

namespace brellis::login_app {

namespace {

using Key = group_defaults::GroupDefaults::Key;

constexpr const char* kLogCategory = "TokenManager";
constexpr const char* kInitializing = "Initializing token manager";
constexpr const char* kCheckingStatus = "checking Unlock status";
constexpr const char* kIsEnabledPrefix = "isEnabled=";
constexpr const char* kDidFinishPrefix = "didFinishUnlockStatus=";
constexpr const char* kEnabling = "Enabling Velkor Unlock";
constexpr const char* kEnabled = "Enabled Velkor Unlock";
constexpr const char* kDisabling = "Disabling Velkor Unlock";
constexpr const char* kNoCertificate = "Failed to get certificate data";
constexpr const char* kNoKeychainItems = "Failed to get keychain items";
constexpr const char* kSendFailed = "Failed to set unlock status";

const char* text(bool value) { return value ? "true" : "false"; }

}  // namespace

std::shared_ptr<TokenManager> TokenManager::make(BrellisTokenManagerDependencies dependencies) {
  return make(std::move(dependencies), platform::dispatch::globalExecutor());
}

std::shared_ptr<TokenManager> TokenManager::make(BrellisTokenManagerDependencies dependencies,
                                                 asio::any_io_executor taskExecutor) {
  std::shared_ptr<TokenManager> manager(
      new TokenManager(std::move(dependencies), std::move(taskExecutor)));
  manager->start();
  return manager;
}

TokenManager::TokenManager(BrellisTokenManagerDependencies dependencies,
                           asio::any_io_executor taskExecutor)
    : dependencies_(std::move(dependencies)),
      logger_(kProgramLogFile, programLogSubsystem(), kLogCategory),
      taskExecutor_(std::move(taskExecutor)) {}

void TokenManager::start() {
  // The subscription refers to the manager without owning it; it ends with the manager.
  cancellableSet_.push_back(isEnabled_.sink([this](const bool&) { spawnChangeHandling(); }));
  logger_.info(kInitializing);
  platform::dispatch::detach(taskExecutor_, fetchStatus(shared_from_this()));
}

void TokenManager::spawnChangeHandling() {
  // A value delivered while the manager is being destroyed starts nothing.
  auto self = weak_from_this().lock();
  if (!self) return;
  platform::dispatch::detach(taskExecutor_, handleChange(std::move(self)));
}

void TokenManager::disable() const {
  logger_.info(kDisabling);
  if (auto configuration = dependencies_.tokenHost->driverConfiguration()) {
    configuration->removeTokenConfigurationForTokenInstanceID(token_host::tokenInstanceID);
  }
}

asio::awaitable<void> TokenManager::fetchStatus(std::shared_ptr<TokenManager> self) {
  // The peers made below must not be wiped by a launch check still rewriting the suite.
  co_await LaunchCheckGate::passed();
  try {
    auto data = co_await fetchUnlockData();
    connectivity::PeerDefaults::makePeer(
        data.containerID(), group_defaults::GroupDefaults::rawValue(Key::containerPeer));
    connectivity::PeerDefaults::makePeer(data.driverID(),
                                         group_defaults::GroupDefaults::rawValue(Key::driverPeer));
  } catch (const std::exception&) {
    // Without unlock data the peers are not made; the status is fetched all the same.
  }
  self->logger_.info(kCheckingStatus);
  bool enabled = false;
  try {
    enabled = co_await fetchUnlockStatus();
  } catch (const std::exception&) {
    co_return;  // the manager keeps waiting for good
  }
  self->logger_.info(std::string(kIsEnabledPrefix) + text(enabled));
  // g++ 12: a capturing lambda and co_await never share one expression.
  std::function<void()> publish = [self, enabled] {
    self->didFinishUnlockStatus_.store(true);
    self->isEnabled_.set(enabled);
  };
  co_await platform::app_kit::MainQueue::run(std::move(publish));
}

asio::awaitable<void> TokenManager::handleChange(std::shared_ptr<TokenManager> self) {
  // The state belongs to the main queue: reading it there also waits for the assignment that
  // started this run, which the property stores only after its subscribers have run.
  bool finished = false;
  bool enabled = false;
  std::function<void()> readFinished = [&] { finished = self->didFinishUnlockStatus_.load(); };
  std::function<void()> readEnabled = [&] { enabled = self->isEnabled_.get(); };
  co_await platform::app_kit::MainQueue::run(readFinished);
  self->logger_.info(std::string(kDidFinishPrefix) + text(finished));
  if (!finished) co_return;
  co_await platform::app_kit::MainQueue::run(readEnabled);
  if (enabled) {
    co_await enable(self);
  } else {
    self->disable();
  }
  co_await platform::app_kit::MainQueue::run(readEnabled);
  std::exception_ptr failure;
  try {
    co_await sendUnlockStatus(enabled);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) self->logger_.error(kSendFailed);
}

asio::awaitable<void> TokenManager::enable(std::shared_ptr<TokenManager> self) {
  self->logger_.info(kEnabling);
  std::optional<platform::foundation::Bytes> certificate;
  if (self->dependencies_.groupDefaults) {
    certificate = self->dependencies_.groupDefaults->data(Key::certificate);
  }
  if (!certificate) {
    self->logger_.error(kNoCertificate);
    co_await resetToDisabled(self);
    co_return;
  }
  bool installed = true;
  try {
    self->dependencies_.tokenHost->addTokenData(*certificate);
  } catch (const std::exception&) {
    installed = false;
  }
  if (!installed) {
    self->logger_.error(kNoKeychainItems);
    co_await resetToDisabled(self);
    co_return;
  }
  self->logger_.info(kEnabled);
}

asio::awaitable<void> TokenManager::resetToDisabled(std::shared_ptr<TokenManager> self) {
  std::function<void()> reset = [self] { self->isEnabled_.set(false); };
  co_await platform::app_kit::MainQueue::run(std::move(reset));
}

}  // namespace brellis::login_app
