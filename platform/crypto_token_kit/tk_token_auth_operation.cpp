#include "platform/crypto_token_kit/tk_token_auth_operation.h"

#include "platform/crypto_token_kit/tk_error.h"

namespace brellis::platform::crypto_token_kit {

TKTokenAuthOperation::TKTokenAuthOperation(const foundation::PlistDict&) {}

TKResult<void> TKTokenAuthOperation::finishWithError() {
  if (isCancelled()) return tl::unexpected(tkErrorRecord(TKErrorCode::canceledByUser));
  return {};
}

std::optional<std::string> TKTokenSmartCardPINAuthOperation::PIN() const {
  std::lock_guard lock(mutex_);
  return pin_;
}

void TKTokenSmartCardPINAuthOperation::setPIN(std::optional<std::string> pin) {
  std::lock_guard lock(mutex_);
  if (pin_) pin_->assign(pin_->size(), '\0');
  pin_ = std::move(pin);
}

}  // namespace brellis::platform::crypto_token_kit
