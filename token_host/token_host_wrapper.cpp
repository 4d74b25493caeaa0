#include "token_host/token_host_wrapper.h"

#include "platform/os_log/logger.h"
#include "token_host/keychain_items.h"
#include "token_host/token_host_error.h"
#include "token_host/unlock_token_configuration.h"

namespace brellis::token_host {

namespace {

namespace ctk = platform::crypto_token_kit;

constexpr const char* kQueueLabel = "TokenHostWrapper.addTokenData";
constexpr const char* kItemsEqual = "🔑 keychainItems are equal";

// The platform's default log (no subsystem, no category).
const platform::os_log::Logger& defaultLog() {
  static const platform::os_log::Logger logger("", "");
  return logger;
}

bool hasCounterpart(const ctk::TKTokenKeychainItem& existing,
                    const ctk::TKTokenKeychainItems& items) {
  if (const auto* key = dynamic_cast<const ctk::TKTokenKeychainKey*>(&existing)) {
    for (const auto& item : items) {
      const auto* candidate = dynamic_cast<const ctk::TKTokenKeychainKey*>(item.get());
      if (candidate && candidate->publicKeyData() == key->publicKeyData()) return true;
    }
    return false;
  }
  if (const auto* certificate = dynamic_cast<const ctk::TKTokenKeychainCertificate*>(&existing)) {
    for (const auto& item : items) {
      const auto* candidate = dynamic_cast<const ctk::TKTokenKeychainCertificate*>(item.get());
      if (candidate && candidate->data() == certificate->data()) return true;
    }
    return false;
  }
  return false;
}

}  // namespace

bool keychainItemsMatch(const ctk::TKTokenKeychainItems& existing,
                        const ctk::TKTokenKeychainItems& items) {
  for (const auto& item : existing) {
    if (!item || !hasCounterpart(*item, items)) return false;
  }
  return true;
}

TokenHostWrapper::TokenHostWrapper(DriverDomain driverDomain)
    : driverDomain_(driverDomain), addTokenDataQueue_(kQueueLabel) {}

std::optional<ctk::TKTokenDriverConfiguration> TokenHostWrapper::driverConfiguration() {
  std::call_once(driverConfigurationOnce_, [this] {
    auto configurations = ctk::TKTokenDriverConfiguration::driverConfigurations();
    if (configurations.empty()) return;
    auto found = configurations.find(rawValue(driverDomain_));
    if (found != configurations.end()) driverConfiguration_ = found->second;
  });
  return driverConfiguration_;
}

void TokenHostWrapper::addTokenData(const platform::foundation::Bytes& certificate) {
  auto driver = driverConfiguration();
  if (!driver) throw TokenHostError(TokenHostError::Code::noDriverConfiguration);
  auto items = makeKeychainItems(certificate);
  if (!items) throw TokenHostError(TokenHostError::Code::noKeychainItems);

  auto configurations = driver->tokenConfigurations();
  auto existing = configurations.find(tokenInstanceID);
  if (existing != configurations.end() &&
      keychainItemsMatch(existing->second.keychainItems(), *items)) {
    defaultLog().debug(kItemsEqual);
    return;
  }
  auto configuration = driver->addTokenConfigurationForTokenInstanceID(tokenInstanceID);
  configuration.setKeychainItems(*items);
}

}  // namespace brellis::token_host
