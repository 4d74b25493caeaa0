#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "platform/crypto_token_kit/tk_token_auth_operation.h"
#include "platform/os_log/logger.h"

namespace brellis::persistent_token {

// The PIN authentication a session asks for: the PIN is not checked here but handed, through
// `completion`, to the session that travels it to the phone.
class PINAuthentication : public platform::crypto_token_kit::TKTokenSmartCardPINAuthOperation {
 public:
  using Completion = std::function<void(const std::string& pin)>;

  PINAuthentication();
  // initWithCoder:
  explicit PINAuthentication(const platform::foundation::PlistDict& coder);

  // Set by the session before it hands the operation out; may be called from any thread.
  void setCompletion(Completion completion);

  // finishWithError: the base class first (its error unchanged); then the PIN goes to
  // `completion`, or TKErrorDomain -5 when there is no completion or no PIN.
  platform::crypto_token_kit::TKResult<void> finishWithError() override;

 private:
  std::mutex mutex_;
  Completion completion_;
  platform::os_log::Logger log_;
};

}  // namespace brellis::persistent_token
