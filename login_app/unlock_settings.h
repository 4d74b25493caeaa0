#pragma once

#include <optional>

#include "platform/foundation/defaults.h"
#include "platform/foundation/plist_value.h"

namespace brellis::login_app {

// The product family's managed settings: the dictionary "Unlock" of the managed suite
// "com.velkor.tarvo". Only `enableUnlockForLogin` decides anything in this program; the other
// two are carried.
struct UnlockSettings {
  static constexpr const char* kSuiteName = "com.velkor.tarvo";
  static constexpr const char* kSettingsKey = "Unlock";
  static constexpr const char* kEnableUnlockKey = "EnableUnlock";
  static constexpr const char* kRequirePINKey = "RequirePIN";
  static constexpr const char* kEnableUnlockForLoginKey = "EnableUnlockForLogin";

  std::optional<bool> enableUnlock;
  std::optional<bool> requirePIN;
  std::optional<bool> enableUnlockForLogin;

  bool operator==(const UnlockSettings&) const = default;

  // Each key is read only if present; a present value that is not a boolean (an integer
  // included) throws DecodingError, as does a value that is not a dictionary.
  static UnlockSettings decode(const platform::foundation::PlistValue& value);
  // Writes only the fields that are present.
  platform::foundation::PlistValue encode() const;

  // The managed-settings loader: the "Unlock" dictionary of `defaults`, serialised as a binary
  // property list and decoded. No dictionary: none. A failure is written to the system log
  // (its localized description) and gives none.
  static std::optional<UnlockSettings> load(const platform::foundation::Defaults& defaults);
};

}  // namespace brellis::login_app
