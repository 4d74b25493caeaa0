#include "platform/crypto_token_kit/pkcs11/service_token_backend.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/foundation/defaults.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

bool readPinSetting() {
  auto defaults = foundation::Defaults::open(kPinSettingSuite);
  return defaults && defaults->boolean(kPinSettingKey);
}

const os_log::Logger& log() {
  static const os_log::Logger logger("BrellisPKCS11", "ServiceTokenBackend");
  return logger;
}

std::mutex& factoryMutex() {
  static std::mutex mutex;
  return mutex;
}

TokenBackendFactory& factory() {
  static TokenBackendFactory installed;
  return installed;
}

}  // namespace

std::filesystem::path tokenManifestPath() {
  if (const char* path = std::getenv(kManifestEnvironmentVariable); path && *path) return path;
  return foundation::statePath("token/BrellisToken.plist", "/usr/lib/brellis/BrellisToken.plist");
}

void setTokenBackendFactory(TokenBackendFactory made) {
  std::lock_guard guard(factoryMutex());
  factory() = std::move(made);
}

std::shared_ptr<TokenBackend> makeTokenBackend() {
  {
    std::lock_guard guard(factoryMutex());
    if (factory()) return factory()();
  }
  return std::make_shared<ServiceTokenBackend>(processTokenService());
}

std::shared_ptr<TokenService> processTokenService() {
  static std::mutex mutex;
  // Never destroyed: the service outlives every module of the process. A child forked after it
  // was loaded loads its own (the parent's threads do not exist in the child).
  static std::shared_ptr<TokenService>* service = nullptr;
  static pid_t owner = 0;
  std::lock_guard guard(mutex);
  if (service && owner == ::getpid()) return *service;
  auto loaded = TokenService::load(tokenManifestPath());
  if (!loaded) {
    log().error("Token service unavailable: %{public}s", loaded.error().description());
    return nullptr;
  }
  service = new std::shared_ptr<TokenService>(std::move(*loaded));
  owner = ::getpid();
  return *service;
}

ServiceTokenBackend::ServiceTokenBackend(std::shared_ptr<TokenService> service)
    : service_(std::move(service)) {}

ServiceTokenBackend::~ServiceTokenBackend() {
  std::lock_guard guard(mutex_);
  sessions_.clear();
}

std::vector<TokenSnapshot> ServiceTokenBackend::tokens() {
  std::vector<TokenSnapshot> snapshots;
  if (!service_ || stop_.stop_requested()) return snapshots;
  for (auto& instance : service_->tokenInstances()) {
    const bool pin = pinRequired(instance.instanceID);
    snapshots.push_back(TokenSnapshot{
        {instance.classID, instance.instanceID}, std::move(instance.keychainItems), pin});
  }
  return snapshots;
}

bool ServiceTokenBackend::pinRequired(const std::string& instanceID) {
  {
    std::lock_guard guard(mutex_);
    if (auto found = sessions_.find(instanceID); found != sessions_.end()) {
      return found->second.pinRequired;
    }
  }
  return readPinSetting();
}

std::shared_ptr<TokenServiceSession> ServiceTokenBackend::sessionFor(const TokenIdentity& token) {
  if (!service_ || stop_.stop_requested() || token.classID != service_->classID()) return nullptr;
  {
    std::lock_guard guard(mutex_);
    if (auto found = sessions_.find(token.instanceID); found != sessions_.end()) {
      return found->second.session;
    }
  }
  // Read as the session being made reads it.
  const bool pin = readPinSetting();
  auto opened = service_->openSession(token.instanceID);
  if (!opened) return nullptr;
  std::lock_guard guard(mutex_);
  // Another thread may have opened one meanwhile: the first one stays.
  return sessions_.emplace(token.instanceID, OpenSession{*opened, pin}).first->second.session;
}

bool ServiceTokenBackend::supports(const TokenIdentity& token, const ObjectID& keyObjectID,
                                   TokenKeyAlgorithm algorithm) {
  auto session = sessionFor(token);
  return session && session->supports(algorithm, keyObjectID);
}

TKResult<Bytes> ServiceTokenBackend::perform(
    const TokenIdentity& token, const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm,
    const Bytes& input, const std::optional<TKTokenKeyExchangeParameters>& parameters,
    PinSource pinSource) {
  if (stop_.stop_requested()) return tl::unexpected(tkErrorRecord(TKErrorCode::canceledByUser));
  auto session = sessionFor(token);
  if (!session) return tl::unexpected(tkErrorRecord(TKErrorCode::tokenNotFound));
  TokenOperationOptions options;
  options.stopToken = stop_.get_token();
  if (pinSource) {
    options.pinProvider = [pinSource = std::move(pinSource)](const PINRequest&) {
      return pinSource();
    };
  }
  switch (operationForAlgorithm(algorithm)) {
    case TKTokenOperation::decryptData:
      return session->decrypt(keyObjectID, algorithm, input, options);
    case TKTokenOperation::performKeyExchange:
      return session->keyExchange(keyObjectID, input,
                                  parameters.value_or(TKTokenKeyExchangeParameters{}), options);
    default:
      return session->sign(keyObjectID, algorithm, input, options);
  }
}

void ServiceTokenBackend::shutdown() { stop_.request_stop(); }

}  // namespace brellis::platform::crypto_token_kit::pkcs11
