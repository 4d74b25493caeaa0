#include "platform/crypto_token_kit/token_service.h"

#include <dlfcn.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/crypto_token_kit/tk_smart_card.h"
#include "platform/crypto_token_kit/tk_token.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/crypto_token_kit/tk_token_session.h"
#include "platform/crypto_token_kit/token_plugin.h"
#include "platform/crypto_token_kit/token_store.h"
#include "platform/foundation/plist_codec.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::crypto_token_kit {

namespace {

using foundation::Bytes;
using foundation::ErrorRecord;

constexpr size_t kMaximumManifestSize = 1 << 20;

const os_log::Logger& serviceLog() {
  static const os_log::Logger log("CryptoTokenKit", "TokenService");
  return log;
}

tl::unexpected<ErrorRecord> failure(TokenServiceErrorCode code) {
  return tl::unexpected(tokenServiceError(code));
}

tl::unexpected<ErrorRecord> failure(TKErrorCode code) {
  return tl::unexpected(tkErrorRecord(code));
}

tl::unexpected<ErrorRecord> pluginUnavailable(const std::string& reason) {
  ErrorRecord record = tokenServiceError(TokenServiceErrorCode::pluginUnavailable);
  record.userInfo.set(foundation::kDebugDescriptionKey, reason);
  return tl::unexpected(std::move(record));
}

void wipe(std::optional<std::string>& secret) {
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

class ServiceSession : public TokenServiceSession {
 public:
  ServiceSession(std::shared_ptr<Core> core, std::string instanceID, std::shared_ptr<TKToken> token,
                 std::shared_ptr<TKTokenSession> session)
      : core_(std::move(core)),
        instanceID_(std::move(instanceID)),
        token_(std::move(token)),
        session_(std::move(session)) {}

  const std::string& instanceID() const override { return instanceID_; }

  // Called by the service's unload, after every worker ended: nothing of the plug-in may be
  // kept beyond it.
  void release() {
    std::lock_guard lock(mutex_);
    session_.reset();
    token_.reset();
  }

  bool supportsOperation(TKTokenOperation operation, const ObjectID& keyObjectID,
                         const TKTokenKeyAlgorithm& algorithm) override {
    auto session = current();
    if (!session) return false;
    try {
      return session->supportsOperation(operation, keyObjectID, algorithm);
    } catch (...) {
      return false;
    }
  }

  bool supports(TokenKeyAlgorithm algorithm, const ObjectID& keyObjectID) override {
    return supportsOperation(operationForAlgorithm(algorithm), keyObjectID,
                             algorithmChain(algorithm));
  }

  TKResult<Bytes> sign(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm, const Bytes& input,
                       const TokenOperationOptions& options) override {
    if (operationForAlgorithm(algorithm) != TKTokenOperation::signData) {
      return failure(TokenServiceErrorCode::invalidInput);
    }
    return run(keyObjectID, algorithm, input, std::nullopt, options);
  }

  TKResult<Bytes> decrypt(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm,
                          const Bytes& ciphertext, const TokenOperationOptions& options) override {
    if (operationForAlgorithm(algorithm) != TKTokenOperation::decryptData) {
      return failure(TokenServiceErrorCode::invalidInput);
    }
    return run(keyObjectID, algorithm, ciphertext, std::nullopt, options);
  }

  TKResult<Bytes> keyExchange(const ObjectID& keyObjectID, const Bytes& otherPartyPublicKey,
                              const TKTokenKeyExchangeParameters& parameters,
                              const TokenOperationOptions& options) override {
    return run(keyObjectID, TokenKeyAlgorithm::ecdhKeyExchangeStandard, otherPartyPublicKey,
               parameters, options);
  }

 private:
  std::shared_ptr<TKTokenSession> current() const {
    std::lock_guard lock(mutex_);
    return core_->unloaded() ? nullptr : session_;
  }

  // The key's modulus size in bytes, from the token's keychain contents.
  TKResult<size_t> rsaModulusSize(const ObjectID& keyObjectID) const {
    std::shared_ptr<TKToken> token;
    {
      std::lock_guard lock(mutex_);
      token = token_;
    }
    auto contents = token ? token->keychainContents() : nullptr;
    if (!contents) return failure(TKErrorCode::objectNotFound);
    auto key = contents->keyForObjectID(keyObjectID);
    if (!key) return tl::unexpected(key.error());
    if ((*key)->keyType() != KeyType::rsa || (*key)->keySizeInBits() <= 0) {
      return failure(TokenServiceErrorCode::invalidInput);
    }
    return static_cast<size_t>(((*key)->keySizeInBits() + 7) / 8);
  }

  // The input the token receives for `algorithm`, as the system builds it.
  TKResult<Bytes> tokenInput(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm,
                             const Bytes& input) const {
    switch (algorithm) {
      case TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256:
        return input;
      case TokenKeyAlgorithm::ecdsaSignatureDigestX962SHA256:
        if (input.size() != kSHA256DigestSize) return failure(TokenServiceErrorCode::invalidInput);
        return input;
      case TokenKeyAlgorithm::ecdhKeyExchangeStandard:
        if (input.empty() || input[0] != 0x04 || input.size() % 2 == 0) {
          return failure(TokenServiceErrorCode::invalidInput);
        }
        return input;
      default:
        break;
    }
    auto size = rsaModulusSize(keyObjectID);
    if (!size) return tl::unexpected(size.error());
    auto block = rsaTokenInput(algorithm, input, *size);
    if (!block) return failure(TokenServiceErrorCode::invalidInput);
    return *block;
  }

  TKResult<Bytes> run(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm, const Bytes& input,
                      std::optional<TKTokenKeyExchangeParameters> parameters,
                      const TokenOperationOptions& options) {
    if (core_->unloaded()) return pluginUnavailable("unloaded");
    if (!core_->configuration(instanceID_)) return failure(TKErrorCode::tokenNotFound);
    auto session = current();
    if (!session) return pluginUnavailable("unloaded");
    auto prepared = tokenInput(keyObjectID, algorithm, input);
    if (!prepared) return tl::unexpected(prepared.error());
    std::optional<size_t> unpadTo;
    if (algorithm == TokenKeyAlgorithm::rsaEncryptionPKCS1) unpadTo = prepared->size();

    // The worker's copy of the PIN sources; the PIN itself is wiped when the work ends.
    auto work = [session, keyObjectID, algorithm, data = std::move(*prepared), parameters,
                 pin = options.pin, provider = options.pinProvider, instanceID = instanceID_,
                 unpadTo]() mutable -> TKResult<Bytes> {
      auto result =
          perform(*session, keyObjectID, algorithm, data, parameters, pin, provider, instanceID);
      wipe(pin);
      if (result && unpadTo) {
        auto plain = removePKCS1v15EncryptionPadding(*result, *unpadTo);
        std::fill(result->begin(), result->end(), 0);
        if (!plain) return failure(TKErrorCode::corruptedData);
        return *plain;
      }
      return result;
    };
    return core_->perform(std::move(work), options);
  }

  static TKResult<Bytes> invoke(TKTokenSession& session, const ObjectID& keyObjectID,
                                TokenKeyAlgorithm algorithm, const Bytes& data,
                                const std::optional<TKTokenKeyExchangeParameters>& parameters) {
    auto chain = algorithmChain(algorithm);
    switch (operationForAlgorithm(algorithm)) {
      case TKTokenOperation::decryptData:
        return session.decryptData(data, keyObjectID, chain);
      case TKTokenOperation::performKeyExchange:
        return session.performKeyExchangeWithPublicKey(
            data, keyObjectID, chain, parameters.value_or(TKTokenKeyExchangeParameters{}));
      default:
        return session.signData(data, keyObjectID, chain);
    }
  }

  // On a worker: the enquiry, the operation, and the PIN protocol when the token asks for it.
  static TKResult<Bytes> perform(TKTokenSession& session, const ObjectID& keyObjectID,
                                 TokenKeyAlgorithm algorithm, const Bytes& data,
                                 const std::optional<TKTokenKeyExchangeParameters>& parameters,
                                 std::optional<std::string>& pin, const PINProvider& provider,
                                 const std::string& instanceID) {
    TKTokenOperation operation = operationForAlgorithm(algorithm);
    if (!session.supportsOperation(operation, keyObjectID, algorithmChain(algorithm))) {
      return failure(TokenServiceErrorCode::operationNotSupported);
    }
    auto result = invoke(session, keyObjectID, algorithm, data, parameters);
    if (result || !isTKError(result.error(), TKErrorCode::authenticationNeeded)) return result;

    if (!pin && !provider) return result;
    auto constraint = constraintFor(session, operation, keyObjectID);
    auto begun = session.beginAuthForOperation(operation, constraint);
    if (!begun) return tl::unexpected(begun.error());
    auto authentication = *begun;
    if (!authentication) return result;
    if (auto* pinOperation = authentication->asPINOperation()) {
      if (!pin) pin = provider(PINRequest{instanceID, operation, keyObjectID});
      if (!pin) {
        authentication->cancel();
        return failure(TKErrorCode::canceledByUser);
      }
      pinOperation->setPIN(pin);
      wipe(pin);
    }
    auto finished = authentication->finishWithError();
    if (auto* pinOperation = authentication->asPINOperation()) pinOperation->setPIN(std::nullopt);
    if (!finished) return tl::unexpected(finished.error());
    return invoke(session, keyObjectID, algorithm, data, parameters);
  }

  // The key item's constraint for the operation (an empty string when it has none).
  static foundation::PlistValue constraintFor(TKTokenSession& session, TKTokenOperation operation,
                                              const ObjectID& keyObjectID) {
    auto token = session.token();
    auto contents = token ? token->keychainContents() : nullptr;
    if (contents) {
      if (auto key = contents->keyForObjectID(keyObjectID)) {
        auto found = (*key)->constraints().find(static_cast<int64_t>(operation));
        if (found != (*key)->constraints().end()) return found->second;
      }
    }
    return foundation::PlistValue(std::string());
  }

  std::shared_ptr<Core> core_;
  const std::string instanceID_;
  mutable std::mutex mutex_;
  std::shared_ptr<TKToken> token_;
  std::shared_ptr<TKTokenSession> session_;
};

void Core::releaseSessions() {
  std::vector<std::weak_ptr<ServiceSession>> sessions;
  {
    std::lock_guard lock(mutex_);
    sessions.swap(sessions_);
  }
  for (const auto& weak : sessions) {
    if (auto session = weak.lock()) session->release();
  }
}

class TokenServiceImpl : public TokenService {
 public:
  explicit TokenServiceImpl(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  ~TokenServiceImpl() override { core_->unload(); }

  const std::string& classID() const override { return core_->classID(); }
  const std::string& principalClass() const override { return core_->principalClass(); }
  std::vector<TokenInstance> tokenInstances() const override { return core_->tokenInstances(); }
  uint64_t addConfigurationObserver(std::function<void()> observer) override {
    return core_->addObserver(std::move(observer));
  }
  void removeConfigurationObserver(uint64_t handle) override { core_->removeObserver(handle); }

  TKResult<std::shared_ptr<TokenServiceSession>> openSession(
      const std::string& instanceID) override {
    auto token = core_->token(instanceID);
    if (!token) return tl::unexpected(token.error());
    TKResult<std::shared_ptr<TKTokenSession>> session = failure(TKErrorCode::notImplemented);
    try {
      session = (*token)->createSession();
    } catch (...) {
      return failure(TKErrorCode::notImplemented);
    }
    if (!session) return tl::unexpected(session.error());
    if (!*session) return failure(TKErrorCode::notImplemented);
    auto opened = std::make_shared<ServiceSession>(core_, instanceID, *token, *session);
    core_->registerSession(opened);
    if (core_->unloaded()) opened->release();
    return opened;
  }

  TKResult<void> offerSmartCard(const std::string& slotName) override {
    auto driver = std::dynamic_pointer_cast<TKSmartCardTokenDriver>(core_->driver());
    if (!driver) return failure(TKErrorCode::notImplemented);
    auto token =
        driver->createTokenForSmartCard(std::make_shared<TKSmartCard>(slotName), std::nullopt);
    if (!token) return tl::unexpected(token.error());
    return {};
  }

  void unload() override { core_->unload(); }

 private:
  std::shared_ptr<Core> core_;
};

std::optional<std::string> manifestString(const foundation::PlistDict& manifest, const char* key) {
  const auto* value = manifest.find(key);
  if (!value || !value->string() || value->string()->empty()) return std::nullopt;
  return *value->string();
}

}  // namespace

TKResult<std::unique_ptr<TokenService>> TokenService::load(
    const std::filesystem::path& manifestPath, Options options) {
  std::ifstream file(manifestPath, std::ios::binary);
  if (!file) return pluginUnavailable("manifest cannot be read: " + manifestPath.string());
  Bytes bytes;
  char buffer[4096];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + file.gcount());
    if (bytes.size() > kMaximumManifestSize) return pluginUnavailable("manifest too large");
  }
  foundation::PlistDict manifest;
  try {
    auto value = foundation::readPlist(bytes);
    if (!value.dict()) return pluginUnavailable("manifest is not a dictionary");
    manifest = *value.dict();
  } catch (...) {
    return pluginUnavailable("manifest is not a property list");
  }
  auto executable = manifestString(manifest, kTokenPluginExecutableKey);
  auto principalClass = manifestString(manifest, kTokenPluginPrincipalClassKey);
  auto classID = manifestString(manifest, kTokenPluginClassIDKey);
  auto symbol = manifestString(manifest, kTokenPluginFactorySymbolKey);
  if (!executable || !principalClass || !classID || !symbol) {
    return pluginUnavailable("manifest lacks a required key");
  }
  if (executable->find('/') != std::string::npos) {
    return pluginUnavailable("the executable must lie beside the manifest");
  }
  if (!TKTokenDriverConfiguration::registerDriverClass(*classID)) {
    return pluginUnavailable("token class cannot be registered: " + *classID);
  }

  auto plugin = std::make_unique<LoadedPlugin>();
  auto libraryPath = manifestPath.parent_path() / *executable;
  plugin->handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!plugin->handle) {
    const char* reason = dlerror();
    return pluginUnavailable(std::string("library cannot be loaded: ") + (reason ? reason : ""));
  }
  auto factory =
      reinterpret_cast<BrellisTokenPluginFactoryFunction>(dlsym(plugin->handle, symbol->c_str()));
  if (!factory) return pluginUnavailable("factory symbol missing: " + *symbol);
  plugin->table = factory();
  if (!plugin->table || plugin->table->abiVersion != BRELLIS_TOKEN_PLUGIN_ABI_VERSION ||
      !plugin->table->makeDriver) {
    plugin->table = nullptr;
    return pluginUnavailable("plug-in of another interface version");
  }
  if (!plugin->table->makeDriver(principalClass->c_str(), &options.pluginSettings,
                                 &plugin->driver) ||
      !plugin->driver) {
    return pluginUnavailable("no driver for the principal class " + *principalClass);
  }
  serviceLog().info("Loaded token plug-in %{public}s for class %{public}s", libraryPath.string(),
                    *classID);
  auto core = std::make_shared<Core>(*classID, *principalClass, std::move(options));
  core->start(std::move(plugin));
  return std::unique_ptr<TokenService>(std::make_unique<TokenServiceImpl>(std::move(core)));
}

}  // namespace brellis::platform::crypto_token_kit
