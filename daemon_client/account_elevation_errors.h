#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/foundation/canonical_equivalence.h"
#include "platform/foundation/error_record.h"

namespace brellis::daemon_client {

// The error vocabulary of account elevation. Its platform form carries the message as the error
// domain and a small code; only the two cases with an entry in errorsDictionary() map back.
class AccountElevationErrors : public platform::foundation::BridgedError {
 public:
  enum class Case { timeTamperingDetected, outOfElevations, noActiveSession };

  struct ErrorPair {
    std::string message;
    int64_t code = 0;
    bool operator==(const ErrorPair&) const = default;
  };

  static AccountElevationErrors timeTamperingDetected() {
    return AccountElevationErrors(Case::timeTamperingDetected, {});
  }
  static AccountElevationErrors outOfElevations() {
    return AccountElevationErrors(Case::outOfElevations, {});
  }
  static AccountElevationErrors noActiveSession(std::string username) {
    return AccountElevationErrors(Case::noActiveSession, std::move(username));
  }

  // Made afresh at each call; noActiveSession has no entry.
  static std::map<Case, ErrorPair> errorsDictionary();

  Case kind() const { return case_; }
  // The user name of noActiveSession; empty for the other cases.
  const std::string& username() const { return username_; }

  // Domain = the message, code = the entry's code (0 without an entry), no user info.
  platform::foundation::ErrorRecord nsError() const;
  // The entry whose code and then message equal the record's code and domain; the user info is
  // not looked at. The message is compared under canonical equivalence.
  static std::optional<AccountElevationErrors> from(const platform::foundation::ErrorRecord& error);

  // The default bridging of the enumeration (domain "TarvoDaemonXPC.AccountElevationErrors",
  // code = case position), as opposed to nsError().
  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;
  // The user names compare under canonical equivalence (and hash by their canonical form).
  bool operator==(const AccountElevationErrors& other) const;

 private:
  AccountElevationErrors(Case kind, std::string username)
      : case_(kind), username_(std::move(username)) {}
  Case case_;
  std::string username_;
};

}  // namespace brellis::daemon_client

template <>
struct std::hash<brellis::daemon_client::AccountElevationErrors> {
  size_t operator()(const brellis::daemon_client::AccountElevationErrors& e) const noexcept {
    return std::hash<std::string>()(brellis::platform::foundation::canonicalHashKey(e.username())) *
               31 +
           static_cast<size_t>(e.kind());
  }
};
