#include "ipc/codesign_security_policy_error.h"

namespace brellis::ipc {
namespace {

constexpr const char* kErrorDomain = "VelkorIPC.CodesignSecurityPolicyError";

// A string as the runtime's description of an enumeration payload shows it: quoted, with
// quotes, backslashes and line breaks escaped.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

}  // namespace

CodesignSecurityPolicyError CodesignSecurityPolicyError::externalError(std::string domain,
                                                                       int64_t code,
                                                                       std::string description) {
  CodesignSecurityPolicyError error(Case::externalError);
  error.domain_ = std::move(domain);
  error.code_ = code;
  error.description_ = std::move(description);
  return error;
}

CodesignSecurityPolicyError CodesignSecurityPolicyError::requirementIsNil() {
  return CodesignSecurityPolicyError(Case::requirementIsNil);
}

CodesignSecurityPolicyError CodesignSecurityPolicyError::codeReferenceIsNil() {
  return CodesignSecurityPolicyError(Case::codeReferenceIsNil);
}

CodesignSecurityPolicyError CodesignSecurityPolicyError::codeFailedToSatisfyRequirements() {
  return CodesignSecurityPolicyError(Case::codeFailedToSatisfyRequirements);
}

platform::foundation::ErrorRecord CodesignSecurityPolicyError::toRecord() const {
  platform::foundation::ErrorRecord record;
  record.domain = kErrorDomain;
  record.code = static_cast<int64_t>(case_);
  return record;
}

std::string CodesignSecurityPolicyError::description() const {
  switch (case_) {
    case Case::externalError:
      return "externalError(domain: " + quoted(domain_) + ", code: " + std::to_string(code_) +
             ", description: " + quoted(description_) + ")";
    case Case::requirementIsNil:
      return "requirementIsNil";
    case Case::codeReferenceIsNil:
      return "codeReferenceIsNil";
    case Case::codeFailedToSatisfyRequirements:
      return "codeFailedToSatisfyRequirements";
  }
  return "unknown";
}

}  // namespace brellis::ipc
