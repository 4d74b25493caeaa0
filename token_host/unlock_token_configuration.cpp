#include "token_host/unlock_token_configuration.h"

#include "platform/foundation/plist_value.h"

namespace brellis::token_host {

const platform::crypto_token_kit::TKTokenOperationConstraints& keyConstraints() {
  using platform::crypto_token_kit::TKTokenOperation;
  static const platform::crypto_token_kit::TKTokenOperationConstraints constraints = [] {
    platform::crypto_token_kit::TKTokenOperationConstraints table;
    for (auto operation :
         {TKTokenOperation::none, TKTokenOperation::readData, TKTokenOperation::signData,
          TKTokenOperation::decryptData, TKTokenOperation::performKeyExchange}) {
      table[static_cast<int64_t>(operation)] = platform::foundation::PlistValue(pinConstraint);
    }
    return table;
  }();
  return constraints;
}

}  // namespace brellis::token_host
