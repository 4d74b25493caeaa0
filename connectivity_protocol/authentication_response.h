#pragma once

#include <tl/expected.hpp>

#include "connectivity_protocol/connectivity_error.h"
#include "connectivity_protocol/unlock_version.h"
#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::connectivity_protocol {

// The outcome of one key operation: the phone's output bytes, or why it failed.
using AuthenticationResult = tl::expected<platform::foundation::Bytes, ConnectivityError>;

// The phone's answer to an AuthenticationRequest. Immutable; nothing is validated.
class AuthenticationResponse {
 public:
  AuthenticationResponse(platform::foundation::Uuid tag, AuthenticationResult result,
                         UnlockVersion unlockVersion)
      : tag_(tag), result_(std::move(result)), unlockVersion_(unlockVersion) {}

  const platform::foundation::Uuid& tag() const { return tag_; }
  const AuthenticationResult& result() const { return result_; }
  UnlockVersion unlockVersion() const { return unlockVersion_; }

  // {"tag", "result", then "success" (data) or "failure" (raw value), "unlockVersion"}.
  platform::foundation::PlistValue toPropertyList() const;
  platform::foundation::Bytes encode() const;  // binary property list
  // Reads "tag", "result", the payload key that "result" names (the other is never looked at),
  // then "unlockVersion" leniently. Raise DecodingError.
  static AuthenticationResponse fromPropertyList(const platform::foundation::PlistValue& value);
  static AuthenticationResponse decode(const platform::foundation::Bytes& bytes);

  bool operator==(const AuthenticationResponse&) const = default;

 private:
  platform::foundation::Uuid tag_;
  AuthenticationResult result_;
  UnlockVersion unlockVersion_;
};

}  // namespace brellis::connectivity_protocol
