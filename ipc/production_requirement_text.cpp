#include <string_view>

#include "ipc/code_signing_requirement.h"

namespace brellis::ipc {
namespace {

// The maker's production requirement, in three fixed pieces around the bundle identifier and
// the minimum version. Lines are separated by "\n" and there is none after the last line.
constexpr std::string_view kProductionPrefix =
    "// Bundle ID must match\n"
    "identifier \"";
constexpr std::string_view kProductionMiddle =
    "\"\n"
    "// Version must be >= specified version\n"
    "and info [CFBundleShortVersionString] >= \"";
constexpr std::string_view kProductionSuffix =
    "\"\n"
    "// Cert must chain back to an Apple CA\n"
    "and anchor apple generic\n"
    "and (\n"
    "    (\n"
    "        // Signing cert must be for Velkor's Apple Developer account\n"
    "        certificate leaf[subject.OU] = \"K2V9T7Q4MX\"\n"
    "        and (\n"
    "            (\n"
    "                // The direct issuer of the cert must be Apple's \"Developer ID "
    "Certification Authority\".\n"
    "                certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */\n"
    "                // The cert must be a \"Developer ID\" Application Code Signing "
    "Certificate.\n"
    "                and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */\n"
    "            )\n"
    "            or (\n"
    "                // The direct issuer of the cert must be from \"Apple Worldwide Developer "
    "Relations\".\n"
    "                certificate 1[field.1.2.840.113635.100.6.2.1] /* exists */\n"
    "                // The cert must be for local development.\n"
    "                and certificate leaf[field.1.2.840.113635.100.6.1.12] /* exists */\n"
    "            )\n"
    "        )\n"
    "        // The cert must be for a Mac App Store app\n"
    "        or (certificate leaf[field.1.2.840.113635.100.6.1.9] /* exists */)\n"
    "        // The cert must be for a TestFlight app\n"
    "        or (certificate leaf[field.1.2.840.113635.100.6.1.25.1] /* exists */)\n"
    "    )\n"
    ")";

constexpr const char* kUnsafeValueMessage =
    "a value inserted into the production requirement may not contain quotes, backslashes or "
    "control characters";

// Inserted unescaped, a quote or backslash would end the string early and let the value add
// clauses of its own; a line break would start a new line of the text.
void refuseUnsafe(const std::string& value) {
  for (unsigned char c : value) {
    if (c == '"' || c == '\\' || c < 0x20 || c == 0x7f) {
      throw CodesignSecurityPolicyError::externalError(platform::foundation::kOSStatusErrorDomain,
                                                       platform::security::errSecCSReqInvalid,
                                                       kUnsafeValueMessage);
    }
  }
}

}  // namespace

std::string productionRequirementText(const std::string& bundleID, const std::string& version) {
  refuseUnsafe(bundleID);
  refuseUnsafe(version);
  std::string text;
  text.reserve(kProductionPrefix.size() + bundleID.size() + kProductionMiddle.size() +
               version.size() + kProductionSuffix.size());
  text.append(kProductionPrefix).append(bundleID);
  text.append(kProductionMiddle).append(version);
  text.append(kProductionSuffix);
  return text;
}

}  // namespace brellis::ipc
