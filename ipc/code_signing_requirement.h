#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ipc/bundle_info.h"
#include "ipc/codesign_security_policy_error.h"
#include "ipc/module_logger.h"
#include "platform/security/code_signing.h"

namespace brellis::ipc {

// The combined requirement text of a list: "" for none, the text itself for one, and
// "(A) or (B) or ..." for two or more.
std::string combinedRequirementText(const std::vector<std::string>& requirements);

// The maker's production requirement for a product: its identifier, at least `version`, an
// anchored chain, and the team's Developer ID / development certificate or a Mac App Store /
// TestFlight certificate. Throws CodesignSecurityPolicyError::externalError (OSStatus domain,
// -67052) when a value holds a double quote, a backslash or a control character, which would
// change the meaning of the text.
std::string productionRequirementText(const std::string& bundleID, const std::string& version);

// The text of the file URL of `path` as the denial line names it: "file://" and the path with
// each byte outside the characters a URL path keeps (letters, digits, "-._~", "/" and
// "!$&'()*+,;=:@") percent-encoded.
std::string fileUrlText(const std::filesystem::path& path);

// One or more requirement texts, OR-ed together and compiled, checked against XPC peers.
// Reference semantics: connections and listeners share it through a shared_ptr. Texts are added
// during set-up, before the object is handed over; afterwards `shouldAccept` only reads.
class CodeSigningRequirement {
 public:
  CodeSigningRequirement() = default;
  virtual ~CodeSigningRequirement() = default;
  CodeSigningRequirement(const CodeSigningRequirement&) = delete;
  CodeSigningRequirement& operator=(const CodeSigningRequirement&) = delete;

  // The accepted texts, in the order they were added.
  const std::vector<std::string>& requirements() const { return requirements_; }
  // The compilation of the combined text of `requirements()`; present once a text was accepted.
  const std::optional<platform::security::Requirement>& requirement() const { return requirement_; }

  // Adds the production requirement for `bundleID.bundleID` with the minimum version `version`,
  // or `bundleID.secureVersionNumber` when `version` is absent (an empty version is used as is).
  virtual void addProductionCodeSigningRequirement(const BundleInfo& bundleID,
                                                   const std::optional<std::string>& version);
  // Accepts one more text; on failure nothing changes. Throws CodesignSecurityPolicyError.
  virtual void addCodeSigningRequirement(const std::string& string);
  // Returns when the peer that connected with `connection` satisfies `requirement()`; throws
  // CodesignSecurityPolicyError otherwise. Validity failures write the denial line first.
  virtual void shouldAccept(const platform::security::GuestIdentity& connection);

  // For tests: appends a text as it is, uncompiled, as a platform compiler that disagrees with
  // ours would see it; connections and listeners then cannot set the combined requirement.
  void addUncompiledRequirementForTesting(const std::string& text) {
    requirements_.push_back(text);
  }

  // The dynamic type's name for the module logger rule; subclasses override it.
  virtual TypeName typeName() const;

 private:
  virtual void logDeniedConnection(const platform::security::GuestCode& fromGuest);

  std::vector<std::string> requirements_;
  std::optional<platform::security::Requirement> requirement_;
};

}  // namespace brellis::ipc
