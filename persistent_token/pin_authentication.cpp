#include "persistent_token/pin_authentication.h"

#include <algorithm>

#include "platform/crypto_token_kit/tk_error.h"
#include "platform/foundation/main_bundle.h"

namespace brellis::persistent_token {

namespace {
constexpr const char* kCategory = "PINAuthentication";
constexpr const char* kAcquiringPIN = "Acquiring PIN";
constexpr const char* kFailureToAcquirePIN = "Failure to acquire PIN";
}  // namespace

PINAuthentication::PINAuthentication()
    : log_(platform::foundation::mainBundleIdentifier(), kCategory) {}

PINAuthentication::PINAuthentication(const platform::foundation::PlistDict& coder)
    : TKTokenSmartCardPINAuthOperation(coder),
      log_(platform::foundation::mainBundleIdentifier(), kCategory) {}

void PINAuthentication::setCompletion(Completion completion) {
  std::lock_guard lock(mutex_);
  completion_ = std::move(completion);
}

platform::crypto_token_kit::TKResult<void> PINAuthentication::finishWithError() {
  auto base = TKTokenSmartCardPINAuthOperation::finishWithError();
  if (!base) return base;
  Completion completion;
  {
    std::lock_guard lock(mutex_);
    completion = completion_;
  }
  auto pin = PIN();
  if (completion && pin) {
    log_.info(kAcquiringPIN);
    completion(*pin);
    std::fill(pin->begin(), pin->end(), '\0');
    return {};
  }
  log_.error(kFailureToAcquirePIN);
  return tl::unexpected(platform::crypto_token_kit::tkErrorRecord(
      platform::crypto_token_kit::TKErrorCode::authenticationFailed));
}

}  // namespace brellis::persistent_token
