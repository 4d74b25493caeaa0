#pragma once

// The token service's shared state: the loaded plug-in and its driver, the tokens made per
// configured instance, the workers that run key operations and the watcher of the configuration
// store. Used by the service and its sessions only.

#include <dlfcn.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/crypto_token_kit/tk_token.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/crypto_token_kit/tk_token_session.h"
#include "platform/crypto_token_kit/token_plugin.h"
#include "platform/crypto_token_kit/token_service.h"
#include "platform/crypto_token_kit/token_store.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::crypto_token_kit::service_internal {

using foundation::Bytes;
using foundation::ErrorRecord;

inline const os_log::Logger& serviceLog() {
  static const os_log::Logger log("CryptoTokenKit", "TokenService");
  return log;
}

inline tl::unexpected<ErrorRecord> failure(TokenServiceErrorCode code) {
  return tl::unexpected(tokenServiceError(code));
}

inline tl::unexpected<ErrorRecord> failure(TKErrorCode code) {
  return tl::unexpected(tkErrorRecord(code));
}

inline tl::unexpected<ErrorRecord> pluginUnavailable(const std::string& reason) {
  ErrorRecord record = tokenServiceError(TokenServiceErrorCode::pluginUnavailable);
  record.userInfo.set(foundation::kDebugDescriptionKey, reason);
  return tl::unexpected(std::move(record));
}

inline void wipe(std::optional<std::string>& secret) {
  if (!secret) return;
  std::fill(secret->begin(), secret->end(), '\0');
  secret.reset();
}

// The library and its one driver. Destroying it releases the driver, stops the plug-in's
// executors and unloads the library, in that order.
struct LoadedPlugin {
  void* handle = nullptr;
  const BrellisTokenPlugin* table = nullptr;
  std::shared_ptr<TKTokenDriver> driver;

  ~LoadedPlugin() {
    driver.reset();
    if (table && table->shutdown) table->shutdown();
    // The library stays mapped (RTLD_NODELETE): its own executors and process-wide objects
    // (thread pool, log sinks) are not made to be torn down before the process ends.
    if (handle) dlclose(handle);
  }
};

// One operation handed to a worker: the caller waits on it until it completes, its limit ends
// or the caller stops it; whatever comes first wins, the rest is ignored.
struct PendingOperation {
  std::mutex mutex;
  std::condition_variable_any changed;
  std::optional<TKResult<Bytes>> result;

  // False when a result was already there.
  bool complete(TKResult<Bytes> value) {
    {
      std::lock_guard lock(mutex);
      if (result) return false;
      result = std::move(value);
    }
    changed.notify_all();
    return true;
  }
};

class ServiceSession;

// The state shared by the service and its sessions; sessions keep it alive, so a session that
// outlives the service only answers pluginUnavailable.
class Core : public std::enable_shared_from_this<Core> {
 public:
  Core(std::string classID, std::string principalClass, TokenService::Options options)
      : classID_(std::move(classID)),
        principalClass_(std::move(principalClass)),
        options_(std::move(options)) {}

  ~Core() { unload(); }

  void start(std::unique_ptr<LoadedPlugin> plugin) {
    plugin_ = std::move(plugin);
    lastSnapshot_ = TokenStore::read(classID_);
    size_t workers = std::max<size_t>(1, options_.workerCount);
    for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { workerLoop(); });
    watcher_ = std::thread([this] { watchLoop(); });
  }

  const std::string& classID() const { return classID_; }
  const std::string& principalClass() const { return principalClass_; }

  std::optional<TKTokenConfiguration> configuration(const std::string& instanceID) const {
    auto drivers = TKTokenDriverConfiguration::driverConfigurations();
    auto driver = drivers.find(classID_);
    if (driver == drivers.end()) return std::nullopt;
    auto configurations = driver->second.tokenConfigurations();
    auto found = configurations.find(instanceID);
    if (found == configurations.end()) return std::nullopt;
    return found->second;
  }

  std::vector<TokenInstance> tokenInstances() const {
    std::vector<TokenInstance> instances;
    auto drivers = TKTokenDriverConfiguration::driverConfigurations();
    auto driver = drivers.find(classID_);
    if (driver == drivers.end()) return instances;
    for (const auto& [instanceID, configuration] : driver->second.tokenConfigurations()) {
      instances.push_back(
          TokenInstance{classID_, instanceID, configuration, configuration.keychainItems()});
    }
    return instances;
  }

  uint64_t addObserver(std::function<void()> observer) {
    std::lock_guard lock(observerMutex_);
    observers_.emplace(++lastObserver_, std::move(observer));
    return lastObserver_;
  }

  void removeObserver(uint64_t handle) {
    std::lock_guard lock(observerMutex_);
    observers_.erase(handle);
  }

  // The driver, or absent once unloaded.
  std::shared_ptr<TKTokenDriver> driver() const {
    std::lock_guard lock(mutex_);
    return plugin_ && !unloaded_ ? plugin_->driver : nullptr;
  }

  // The instance's token: made by the driver on first use, then kept until the instance goes.
  TKResult<std::shared_ptr<TKToken>> token(const std::string& instanceID) {
    std::lock_guard tokensLock(tokenCreationMutex_);
    // The store decides, not the cache: an instance removed a moment ago has no token even
    // before the watcher has dropped it.
    auto configuration = this->configuration(instanceID);
    if (!configuration) return failure(TKErrorCode::tokenNotFound);
    {
      std::lock_guard lock(mutex_);
      if (unloaded_) return pluginUnavailable("unloaded");
      auto found = tokens_.find(instanceID);
      if (found != tokens_.end()) return found->second;
    }
    auto driver = this->driver();
    if (!driver) return pluginUnavailable("unloaded");
    TKResult<std::shared_ptr<TKToken>> made = failure(TKErrorCode::notImplemented);
    try {
      made = driver->tokenForConfiguration(*configuration);
    } catch (...) {
      return failure(TKErrorCode::notImplemented);
    }
    if (!made) return made;
    if (!*made) return failure(TKErrorCode::tokenNotFound);
    auto token = *made;
    token->setConfiguration(configuration);
    auto contents = std::make_shared<TKTokenKeychainContents>();
    contents->fillWithItems(configuration->keychainItems());
    token->setKeychainContents(contents);
    std::lock_guard lock(mutex_);
    if (unloaded_) return pluginUnavailable("unloaded");
    tokens_[instanceID] = token;
    return token;
  }

  // Runs `work` on a worker and waits for it within the operation's limit.
  TKResult<Bytes> perform(std::function<TKResult<Bytes>()> work,
                          const TokenOperationOptions& options) {
    if (options.stopToken.stop_requested()) return failure(TKErrorCode::canceledByUser);
    auto pending = std::make_shared<PendingOperation>();
    {
      std::lock_guard lock(mutex_);
      if (unloaded_) return pluginUnavailable("unloaded");
      pendingOperations_.insert(pending);
      queue_.emplace_back([pending, work = std::move(work)] {
        {
          // The caller gave up (limit or stop) before a worker was free: nothing is started.
          std::lock_guard lock(pending->mutex);
          if (pending->result) return;
        }
        TKResult<Bytes> result = failure(TKErrorCode::communicationError);
        try {
          result = work();
        } catch (...) {
          result = failure(TKErrorCode::communicationError);
        }
        pending->complete(std::move(result));
      });
    }
    queueChanged_.notify_one();

    auto deadline = std::chrono::steady_clock::now() + limit(options);
    {
      std::unique_lock lock(pending->mutex);
      std::stop_token stop = options.stopToken;
      bool done = pending->changed.wait_until(lock, stop, deadline,
                                              [&] { return pending->result.has_value(); });
      if (!done) {
        bool stopped = stop.stop_requested();
        lock.unlock();
        pending->complete(stopped ? failure(TKErrorCode::canceledByUser)
                                  : failure(TokenServiceErrorCode::timedOut));
        lock.lock();
      }
    }
    {
      std::lock_guard lock(mutex_);
      pendingOperations_.erase(pending);
    }
    std::lock_guard lock(pending->mutex);
    return *pending->result;
  }

  std::chrono::milliseconds limit(const TokenOperationOptions& options) const {
    if (options_.operationLimitForTesting) return *options_.operationLimitForTesting;
    return std::max(options.limit.value_or(options_.operationLimit),
                    TokenService::kMinimumOperationLimit);
  }

  void unload() {
    std::vector<std::shared_ptr<PendingOperation>> waiting;
    {
      std::lock_guard lock(mutex_);
      if (unloaded_) return;
      unloaded_ = true;
      queue_.clear();
      waiting.assign(pendingOperations_.begin(), pendingOperations_.end());
    }
    for (const auto& pending : waiting) pending->complete(pluginUnavailable("unloaded"));
    queueChanged_.notify_all();
    watcherWake_.notify_all();
    for (auto& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
    if (watcher_.joinable()) watcher_.join();
    std::map<std::string, std::shared_ptr<TKToken>> tokens;
    std::unique_ptr<LoadedPlugin> plugin;
    {
      std::lock_guard lock(mutex_);
      tokens.swap(tokens_);
      plugin = std::move(plugin_);
    }
    // Sessions of callers may still hold plug-in objects: they are released by the sessions
    // themselves (ServiceSession drops them when it sees the service unloaded).
    releaseSessions();
    tokens.clear();
    plugin.reset();
  }

  bool unloaded() const {
    std::lock_guard lock(mutex_);
    return unloaded_;
  }

  void registerSession(const std::shared_ptr<ServiceSession>& session) {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [](const auto& weak) { return weak.expired(); });
    sessions_.push_back(session);
  }

  std::shared_ptr<TKToken> cachedToken(const std::string& instanceID) const {
    std::lock_guard lock(mutex_);
    auto found = tokens_.find(instanceID);
    return found == tokens_.end() ? nullptr : found->second;
  }

 private:
  void releaseSessions();

  void workerLoop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        queueChanged_.wait(lock, [&] { return unloaded_ || !queue_.empty(); });
        if (queue_.empty()) return;
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job();
    }
  }

  void watchLoop() {
    std::unique_lock lock(mutex_);
    while (!unloaded_) {
      watcherWake_.wait_for(lock, options_.watchInterval, [&] { return unloaded_; });
      if (unloaded_) return;
      lock.unlock();
      auto snapshot = TokenStore::read(classID_);
      bool changed = snapshot != lastSnapshot_;
      if (changed) {
        lastSnapshot_ = std::move(snapshot);
        applyConfigurationChange();
        std::vector<std::function<void()>> observers;
        {
          std::lock_guard observerLock(observerMutex_);
          for (const auto& [handle, observer] : observers_) observers.push_back(observer);
        }
        for (const auto& observer : observers) observer();
      }
      lock.lock();
    }
  }

  // Drops the tokens of removed instances and refills the keychain contents of the others.
  void applyConfigurationChange() {
    std::map<std::string, std::shared_ptr<TKToken>> tokens;
    {
      std::lock_guard lock(mutex_);
      tokens = tokens_;
    }
    std::vector<std::string> removed;
    for (const auto& [instanceID, token] : tokens) {
      auto configuration = this->configuration(instanceID);
      if (!configuration) {
        removed.push_back(instanceID);
        continue;
      }
      if (auto contents = token->keychainContents()) {
        contents->fillWithItems(configuration->keychainItems());
      }
    }
    std::vector<std::shared_ptr<TKToken>> dropped;
    {
      std::lock_guard lock(mutex_);
      for (const auto& instanceID : removed) {
        auto found = tokens_.find(instanceID);
        if (found != tokens_.end() && found->second == tokens[instanceID]) {
          dropped.push_back(found->second);
          tokens_.erase(found);
        }
      }
    }
    // `dropped` goes out of scope here, outside the lock.
  }

  const std::string classID_;
  const std::string principalClass_;
  const TokenService::Options options_;

  mutable std::mutex mutex_;
  bool unloaded_ = false;
  std::unique_ptr<LoadedPlugin> plugin_;
  std::map<std::string, std::shared_ptr<TKToken>> tokens_;
  std::vector<std::weak_ptr<ServiceSession>> sessions_;
  std::deque<std::function<void()>> queue_;
  std::condition_variable queueChanged_;
  std::condition_variable watcherWake_;
  std::set<std::shared_ptr<PendingOperation>> pendingOperations_;
  std::vector<std::thread> workers_;
  std::thread watcher_;
  std::optional<foundation::PlistDict> lastSnapshot_;

  std::mutex tokenCreationMutex_;
  std::mutex observerMutex_;
  std::map<uint64_t, std::function<void()>> observers_;
  uint64_t lastObserver_ = 0;
};

// Makes the service's session over `session` of the instance's token and registers it with
// `core` (released at once when the service has been unloaded meanwhile).
std::shared_ptr<TokenServiceSession> openServiceSession(std::shared_ptr<Core> core,
                                                        std::string instanceID,
                                                        std::shared_ptr<TKToken> token,
                                                        std::shared_ptr<TKTokenSession> session);

}  // namespace brellis::platform::crypto_token_kit::service_internal
