#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/error_record.h"

namespace brellis::ipc {

// Every failure of CodeSigningRequirement. Bridges to the platform error form with the domain
// "VelkorIPC.CodesignSecurityPolicyError" and the case position as code; it has no localized
// description of its own.
class CodesignSecurityPolicyError : public platform::foundation::BridgedError {
 public:
  enum class Case {
    externalError = 0,                    // a Security-layer call failed; carries that failure
    requirementIsNil = 1,                 // a text compiled but no requirement came back
    codeReferenceIsNil = 2,               // the guest lookup returned no code object
    codeFailedToSatisfyRequirements = 3,  // the peer does not satisfy the requirement
  };

  static CodesignSecurityPolicyError externalError(std::string domain, int64_t code,
                                                   std::string description);
  static CodesignSecurityPolicyError requirementIsNil();
  static CodesignSecurityPolicyError codeReferenceIsNil();
  static CodesignSecurityPolicyError codeFailedToSatisfyRequirements();

  Case errorCase() const { return case_; }
  // Payload of `externalError` (empty / 0 for the other cases).
  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const std::string& errorDescription() const { return description_; }

  platform::foundation::ErrorRecord toRecord() const override;
  // e.g. `externalError(domain: "NSOSStatusErrorDomain", code: -67052, description: "...")` or
  // `codeFailedToSatisfyRequirements`.
  std::string description() const override;

  bool operator==(const CodesignSecurityPolicyError& other) const {
    return case_ == other.case_ && domain_ == other.domain_ && code_ == other.code_ &&
           description_ == other.description_;
  }

 private:
  explicit CodesignSecurityPolicyError(Case errorCase) : case_(errorCase) {}

  Case case_;
  std::string domain_;
  int64_t code_ = 0;
  std::string description_;
};

}  // namespace brellis::ipc
