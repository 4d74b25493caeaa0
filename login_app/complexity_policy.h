#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/plist_value.h"

namespace brellis::login_app {

// A password-complexity record. Every field is optional; its coding key is its own name.
// Decoding reads only the keys that are present and raises platform::foundation::DecodingError
// for a present key of the wrong kind (integers are 64-bit integers, "excludeUsername" a
// boolean; no conversions); encoding writes only the present fields, in declaration order.
struct ComplexityPolicy {
  static constexpr const char* kMinLengthKey = "minLength";
  static constexpr const char* kMinUpperCaseKey = "minUpperCase";
  static constexpr const char* kMinLowerCaseKey = "minLowerCase";
  static constexpr const char* kMinNumberKey = "minNumber";
  static constexpr const char* kMinSymbolKey = "minSymbol";
  static constexpr const char* kMinMatchesKey = "minMatches";
  static constexpr const char* kExcludeUsernameKey = "excludeUsername";

  std::optional<int64_t> minLength;
  std::optional<int64_t> minUpperCase;
  std::optional<int64_t> minLowerCase;
  std::optional<int64_t> minNumber;
  std::optional<int64_t> minSymbol;
  std::optional<int64_t> minMatches;
  std::optional<bool> excludeUsername;

  bool operator==(const ComplexityPolicy&) const = default;

  platform::foundation::PlistValue encode() const;
  static ComplexityPolicy decode(const platform::foundation::PlistValue& tree);
};

}  // namespace brellis::login_app
