#include "ipc/code_signing_requirement.h"

#include <string_view>

namespace brellis::ipc {
namespace {

namespace security = platform::security;

constexpr const char* kTypeName = "CodeSigningRequirement";
constexpr const char* kDeniedMessage = "Denied XPC client access";
constexpr const char* kFromCodeAt = " from code at '";
constexpr const char* kClosingQuote = "'";
constexpr const char* kLogFormat = "%{public}s";

std::string statusMessage(security::OSStatus status) {
  return security::errorMessage(status).value_or("");
}

CodesignSecurityPolicyError osStatusError(security::OSStatus status, std::string description) {
  return CodesignSecurityPolicyError::externalError(platform::foundation::kOSStatusErrorDomain,
                                                    status, std::move(description));
}

// Unreserved characters, "/" and the characters a URL path segment keeps unescaped (sub-delims,
// ":" and "@"), classified on bytes whatever the locale.
bool keptInFileUrl(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  static constexpr std::string_view kKept = "-._~/!$&'()*+,;=:@";
  return kKept.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string fileUrlText(const std::filesystem::path& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path.string()) {
    if (keptInFileUrl(c)) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xf];
    }
  }
  return url;
}

std::string combinedRequirementText(const std::vector<std::string>& requirements) {
  if (requirements.empty()) return "";
  if (requirements.size() == 1) return requirements.front();
  std::string text;
  for (size_t i = 0; i < requirements.size(); ++i) {
    if (i > 0) text += " or ";
    text += "(" + requirements[i] + ")";
  }
  return text;
}

void CodeSigningRequirement::addProductionCodeSigningRequirement(
    const BundleInfo& bundleID, const std::optional<std::string>& version) {
  addCodeSigningRequirement(
      productionRequirementText(bundleID.bundleID, version.value_or(bundleID.secureVersionNumber)));
}

void CodeSigningRequirement::addCodeSigningRequirement(const std::string& string) {
  std::vector<std::string> candidate = requirements_;
  candidate.push_back(string);
  std::optional<security::Requirement> compiled;
  try {
    compiled = security::Requirement::compile(combinedRequirementText(candidate));
  } catch (const security::SecurityError& error) {
    throw osStatusError(error.status(), error.what());
  }
  requirements_ = std::move(candidate);
  requirement_ = std::move(compiled);
}

void CodeSigningRequirement::shouldAccept(const security::GuestIdentity& connection) {
  if (!requirement_) throw CodesignSecurityPolicyError::codeFailedToSatisfyRequirements();
  std::optional<security::GuestCode> guest;
  try {
    guest = security::GuestCode::copyGuest(connection);
  } catch (const security::SecurityError& error) {
    throw osStatusError(error.status(), statusMessage(error.status()));
  }
  security::ValidityResult result = security::checkValidity(*guest, &*requirement_);
  if (result.ok()) return;
  logDeniedConnection(*guest);
  if (result.status == security::errSecCSReqFailed) {
    throw CodesignSecurityPolicyError::codeFailedToSatisfyRequirements();
  }
  throw osStatusError(result.status,
                      result.message.empty() ? statusMessage(result.status) : result.message);
}

TypeName CodeSigningRequirement::typeName() const { return moduleTypeName(kModuleName, kTypeName); }

void CodeSigningRequirement::logDeniedConnection(const security::GuestCode& fromGuest) {
  std::string message = kDeniedMessage;
  if (!fromGuest.path().empty()) {
    message += kFromCodeAt + fileUrlText(fromGuest.path()) + kClosingQuote;
  }
  moduleLogger(typeName()).error(kLogFormat, message);
}

}  // namespace brellis::ipc
