#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "platform/crypto_token_kit/tk_result.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

class TKTokenSmartCardPINAuthOperation;

// An authentication a token asks for before it performs an operation. The token service fills
// in what the user entered and calls finishWithError() on one of its worker threads; the
// operation may also be cancelled from another thread.
class TKTokenAuthOperation {
 public:
  TKTokenAuthOperation() = default;
  // initWithCoder: nothing of the archive is kept.
  explicit TKTokenAuthOperation(const foundation::PlistDict& coder);
  virtual ~TKTokenAuthOperation() = default;

  // finishWithError: completes the authentication. The base class succeeds unless the
  // operation was cancelled (TKErrorDomain -4).
  virtual TKResult<void> finishWithError();

  // The PIN form of this operation, when it is one (no type information has to cross the
  // boundary of a plug-in).
  virtual TKTokenSmartCardPINAuthOperation* asPINOperation() { return nullptr; }

  void cancel() { cancelled_ = true; }
  bool isCancelled() const { return cancelled_; }

 private:
  std::atomic<bool> cancelled_{false};
};

// Authentication by a PIN. There is no card here to verify the PIN against (the token's own
// backend checks it), so the base class's finishWithError() only fails when cancelled.
class TKTokenSmartCardPINAuthOperation : public TKTokenAuthOperation {
 public:
  using TKTokenAuthOperation::TKTokenAuthOperation;

  TKTokenSmartCardPINAuthOperation* asPINOperation() override { return this; }

  // The PIN the user entered; absent until the service sets it.
  std::optional<std::string> PIN() const;
  void setPIN(std::optional<std::string> pin);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> pin_;
};

}  // namespace brellis::platform::crypto_token_kit
