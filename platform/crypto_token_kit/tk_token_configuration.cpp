#include "platform/crypto_token_kit/tk_token_configuration.h"

#include "platform/crypto_token_kit/keychain_item_coding.h"
#include "platform/crypto_token_kit/token_store.h"

namespace brellis::platform::crypto_token_kit {

using foundation::PlistDict;
using foundation::PlistValue;

TKTokenKeychainItems TKTokenConfiguration::keychainItems() const {
  auto content = TokenStore::read(classID_);
  if (!content) return {};
  const PlistValue* configurations = content->find(TokenStore::kTokenConfigurationsKey);
  if (!configurations || !configurations->dict()) return {};
  const PlistValue* configuration = configurations->dict()->find(instanceID_);
  if (!configuration || !configuration->dict()) return {};
  const PlistValue* items = configuration->dict()->find(TokenStore::kKeychainItemsKey);
  if (!items) return {};
  return decodeKeychainItems(*items);
}

bool TKTokenConfiguration::setKeychainItems(const TKTokenKeychainItems& items) const {
  PlistValue encoded = encodeKeychainItems(items);
  bool found = false;
  bool written = TokenStore::update(classID_, [&](PlistDict& content) {
    PlistValue* configurations = content.find(TokenStore::kTokenConfigurationsKey);
    if (!configurations || !configurations->dict()) return;
    PlistValue* configuration = configurations->dict()->find(instanceID_);
    if (!configuration || !configuration->dict()) return;
    found = true;
    configuration->dict()->set(TokenStore::kKeychainItemsKey, encoded);
  });
  return written && found;
}

}  // namespace brellis::platform::crypto_token_kit
