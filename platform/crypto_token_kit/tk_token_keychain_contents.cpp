#include "platform/crypto_token_kit/tk_token_keychain_contents.h"

#include "platform/crypto_token_kit/tk_error.h"

namespace brellis::platform::crypto_token_kit {

namespace {

template <class Item>
TKResult<std::shared_ptr<Item>> find(const TKTokenKeychainItems& items, const ObjectID& objectID) {
  for (const auto& item : items) {
    if (!item || item->objectID() != objectID) continue;
    if (auto typed = std::dynamic_pointer_cast<Item>(item)) return typed;
  }
  return tl::unexpected(tkErrorRecord(TKErrorCode::objectNotFound));
}

}  // namespace

void TKTokenKeychainContents::fillWithItems(TKTokenKeychainItems items) {
  std::lock_guard lock(mutex_);
  items_ = std::move(items);
}

TKTokenKeychainItems TKTokenKeychainContents::items() const {
  std::lock_guard lock(mutex_);
  return items_;
}

TKResult<std::shared_ptr<TKTokenKeychainKey>> TKTokenKeychainContents::keyForObjectID(
    const ObjectID& objectID) const {
  return find<TKTokenKeychainKey>(items(), objectID);
}

TKResult<std::shared_ptr<TKTokenKeychainCertificate>>
TKTokenKeychainContents::certificateForObjectID(const ObjectID& objectID) const {
  return find<TKTokenKeychainCertificate>(items(), objectID);
}

}  // namespace brellis::platform::crypto_token_kit
