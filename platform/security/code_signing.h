#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/security/anchor_store.h"
#include "platform/security/code_signature.h"
#include "platform/security/guest_identity.h"
#include "platform/security/requirement.h"
#include "platform/security/security_error.h"
#include "platform/security/signing_information.h"

namespace brellis::platform::security {

// The outcome of a validity check (SecCodeCheckValidityWithErrors / SecStaticCodeCheckValidity):
// `status` is errSecSuccess when the code is validly signed and satisfies the requirement, else
// errSecCSUnsigned, errSecCSSignatureFailed, errSecCSReqFailed or errSecCSNoSuchCode; `message`
// says why. `executablePath` is the code's location on disk when it could be determined (also on
// failure, for the caller's denial log).
struct ValidityResult {
  OSStatus status = errSecSuccess;
  std::string message;
  std::optional<std::filesystem::path> executablePath;

  bool ok() const { return status == errSecSuccess; }
};

// The code object of a running guest (SecCodeCopyGuestWithAttributes): the process named by the
// identity, as long as it is still the one that connected.
class GuestCode {
 public:
  // Throws SecurityError(errSecCSNoSuchCode) when the process is gone or its pid now belongs to
  // another process (start time differs).
  static GuestCode copyGuest(const GuestIdentity& identity);

  const GuestIdentity& identity() const { return identity_; }
  // The executable as it was when the guest was looked up (SecCodeCopyPath of its static code).
  const std::filesystem::path& path() const { return path_; }

 private:
  GuestCode(GuestIdentity identity, std::filesystem::path path);
  GuestIdentity identity_;
  std::filesystem::path path_;
};

// Checks the running guest: reads its executable through /proc/<pid>/exe (the file the process
// actually runs, not whatever now sits at its path), verifies the detached signature next to
// the path, evaluates the requirement, and re-reads the start time afterwards: if the process
// exec'ed or the pid was reused meanwhile, the result is errSecCSNoSuchCode. With no
// requirement only the signature is checked.
ValidityResult checkValidity(const GuestCode& code, const Requirement* requirement);

// Shorthand: copyGuest + checkValidity (a lookup failure is reported as errSecCSNoSuchCode).
ValidityResult checkGuestValidity(const GuestIdentity& identity, const Requirement& requirement);

// Checks a program on disk (SecStaticCodeCheckValidity).
ValidityResult checkStaticCodeValidity(const std::filesystem::path& executablePath,
                                       const Requirement& requirement);

// Verifies the executable read from `executableFd` (from its current offset) against its
// signature file and the anchor store, without a requirement. The signature file is read first;
// the executable only when there is one. Throws SecurityError(errSecCSUnsigned /
// errSecCSSignatureFailed).
SigningInformation verifySignature(int executableFd, const std::filesystem::path& signatureFile);

}  // namespace brellis::platform::security
