#include "platform/crypto_token_kit/tk_token_driver_configuration.h"

#include "platform/crypto_token_kit/token_store.h"

namespace brellis::platform::crypto_token_kit {

using foundation::PlistArray;
using foundation::PlistDict;
using foundation::PlistValue;

std::map<std::string, TKTokenDriverConfiguration>
TKTokenDriverConfiguration::driverConfigurations() {
  std::map<std::string, TKTokenDriverConfiguration> result;
  for (auto& classID : TokenStore::registeredClasses()) {
    result.emplace(classID, TKTokenDriverConfiguration(classID));
  }
  return result;
}

bool TKTokenDriverConfiguration::registerDriverClass(std::string_view classID) {
  return TokenStore::registerClass(classID);
}

std::map<std::string, TKTokenConfiguration> TKTokenDriverConfiguration::tokenConfigurations()
    const {
  std::map<std::string, TKTokenConfiguration> result;
  auto content = TokenStore::read(classID_);
  if (!content) return result;
  const PlistValue* configurations = content->find(TokenStore::kTokenConfigurationsKey);
  if (!configurations || !configurations->dict()) return result;
  for (const auto& [instanceID, value] : *configurations->dict()) {
    if (value.dict()) result.emplace(instanceID, TKTokenConfiguration(classID_, instanceID));
  }
  return result;
}

TKTokenConfiguration TKTokenDriverConfiguration::addTokenConfigurationForTokenInstanceID(
    const std::string& instanceID) const {
  TokenStore::update(classID_, [&](PlistDict& content) {
    PlistValue* configurations = content.find(TokenStore::kTokenConfigurationsKey);
    if (!configurations || !configurations->dict()) {
      content.set(TokenStore::kTokenConfigurationsKey, PlistDict{});
      configurations = content.find(TokenStore::kTokenConfigurationsKey);
    }
    PlistDict fresh;
    fresh.set(TokenStore::kKeychainItemsKey, PlistArray{});
    configurations->dict()->set(instanceID, std::move(fresh));
  });
  return TKTokenConfiguration(classID_, instanceID);
}

void TKTokenDriverConfiguration::removeTokenConfigurationForTokenInstanceID(
    const std::string& instanceID) const {
  // Read first so that removing a missing instance does not rewrite the file.
  auto content = TokenStore::read(classID_);
  if (!content) return;
  const PlistValue* configurations = content->find(TokenStore::kTokenConfigurationsKey);
  if (!configurations || !configurations->dict() || !configurations->dict()->contains(instanceID)) {
    return;
  }
  TokenStore::update(classID_, [&](PlistDict& fresh) {
    PlistValue* entries = fresh.find(TokenStore::kTokenConfigurationsKey);
    if (entries && entries->dict()) entries->dict()->remove(instanceID);
  });
}

}  // namespace brellis::platform::crypto_token_kit
