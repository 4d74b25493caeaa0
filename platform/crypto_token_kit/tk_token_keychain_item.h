#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto_token_kit/object_id.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

// Operation numbers of a token (TKTokenOperation).
enum class TKTokenOperation : int64_t {
  none = 0,
  readData = 1,
  signData = 2,
  decryptData = 3,
  performKeyExchange = 4,
};

// Operation number -> constraint (a property-list value, e.g. the text "PINAlways").
using TKTokenOperationConstraints = std::map<int64_t, foundation::PlistValue>;

// One item of a token's keychain contents. Items are plain values owned by whoever holds the
// pointer; a configuration's items are copies read from (and written to) the shared store.
class TKTokenKeychainItem {
 public:
  explicit TKTokenKeychainItem(ObjectID objectID) : objectID_(std::move(objectID)) {}
  virtual ~TKTokenKeychainItem() = default;

  const ObjectID& objectID() const { return objectID_; }
  const std::optional<std::string>& label() const { return label_; }
  void setLabel(std::optional<std::string> label) { label_ = std::move(label); }
  const TKTokenOperationConstraints& constraints() const { return constraints_; }
  void setConstraints(TKTokenOperationConstraints constraints) {
    constraints_ = std::move(constraints);
  }

 private:
  ObjectID objectID_;
  std::optional<std::string> label_;
  TKTokenOperationConstraints constraints_;
};

using TKTokenKeychainItems = std::vector<std::shared_ptr<TKTokenKeychainItem>>;

}  // namespace brellis::platform::crypto_token_kit
