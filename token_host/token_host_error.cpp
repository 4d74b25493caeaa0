#include "token_host/token_host_error.h"

namespace brellis::token_host {

namespace {
constexpr const char* kDomain = "TokenHost.TokenHostError";
constexpr const char* kCaseNames[] = {"noTokenAddData", "noCertificateHash", "noKeychainItems",
                                      "noDriverConfiguration"};
}  // namespace

platform::foundation::ErrorRecord TokenHostError::toRecord() const {
  return platform::foundation::ErrorRecord{kDomain, static_cast<int64_t>(code_), {}};
}

std::string TokenHostError::description() const { return kCaseNames[static_cast<int>(code_)]; }

}  // namespace brellis::token_host
