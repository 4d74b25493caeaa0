#pragma once

#include <string>

#include "platform/foundation/error_record.h"

namespace brellis::token_host {

// What installing the token configuration raises. Only `noKeychainItems` and
// `noDriverConfiguration` are ever raised.
class TokenHostError : public platform::foundation::BridgedError {
 public:
  enum class Code { noTokenAddData, noCertificateHash, noKeychainItems, noDriverConfiguration };

  explicit TokenHostError(Code code) : code_(code) {}
  Code code() const { return code_; }

  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;  // the case name, e.g. "noKeychainItems"

 private:
  Code code_;
};

}  // namespace brellis::token_host
