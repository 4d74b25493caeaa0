#include "token_host/unlock_status.h"

#include "connectivity_protocol/record_reader.h"

namespace brellis::token_host {

platform::foundation::PlistValue UnlockStatus::encode() const {
  platform::foundation::PlistDict dict;
  dict.set(kIsEnabledKey, isEnabled);
  return dict;
}

UnlockStatus UnlockStatus::decode(const platform::foundation::PlistValue& tree) {
  connectivity_protocol::RecordReader reader(tree);
  auto value = reader.require(kIsEnabledKey).boolean();
  if (!value) reader.typeMismatch(kIsEnabledKey, "Bool");
  return UnlockStatus{*value};
}

}  // namespace brellis::token_host
