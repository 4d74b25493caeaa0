#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "connectivity_protocol/authentication_usage.h"
#include "connectivity_protocol/key_exchange_params.h"
#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::connectivity_protocol {

// What the Mac asks the phone for one key operation. Immutable; nothing is validated.
class AuthenticationRequest {
 public:
  AuthenticationRequest(platform::foundation::Uuid tag, AuthenticationUsage usage,
                        platform::foundation::Bytes data, int64_t certID,
                        std::optional<std::string> pin, platform::foundation::Bytes ephemeralKey,
                        std::optional<KeyExchangeParams> keyExchangeParams);

  const platform::foundation::Uuid& tag() const { return tag_; }
  AuthenticationUsage usage() const { return usage_; }
  const platform::foundation::Bytes& data() const { return data_; }
  int64_t certID() const { return certID_; }
  const std::optional<std::string>& pin() const { return pin_; }
  const platform::foundation::Bytes& ephemeralKey() const { return ephemeralKey_; }
  const std::optional<KeyExchangeParams>& keyExchangeParams() const { return keyExchangeParams_; }

  // The dictionary: "tag", "usage", "data", "certID", "pin" (when present), "ephemeralKey"
  // (always, also when empty), "keyExchangeParams" (when present).
  platform::foundation::PlistValue toPropertyList() const;
  platform::foundation::Bytes encode() const;  // binary property list
  // Raise DecodingError.
  static AuthenticationRequest fromPropertyList(const platform::foundation::PlistValue& value);
  static AuthenticationRequest decode(const platform::foundation::Bytes& bytes);

  bool operator==(const AuthenticationRequest&) const = default;

 private:
  platform::foundation::Uuid tag_;
  AuthenticationUsage usage_;
  platform::foundation::Bytes data_;
  int64_t certID_;
  std::optional<std::string> pin_;
  platform::foundation::Bytes ephemeralKey_;
  std::optional<KeyExchangeParams> keyExchangeParams_;
};

}  // namespace brellis::connectivity_protocol
