#include "platform/crypto_token_kit/object_id.h"

namespace brellis::platform::crypto_token_kit {

foundation::PlistValue objectIDToPlist(const ObjectID& id) {
  return std::visit([](const auto& v) { return foundation::PlistValue(v); }, id);
}

std::optional<ObjectID> objectIDFromPlist(const foundation::PlistValue& value) {
  if (auto number = value.int64()) return ObjectID(*number);
  if (const auto* text = value.string()) return ObjectID(*text);
  if (const auto* bytes = value.data()) return ObjectID(*bytes);
  return std::nullopt;
}

}  // namespace brellis::platform::crypto_token_kit
