#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/defaults.h"
#include "platform/foundation/plist_value.h"

namespace brellis::group_defaults {

// Typed access to the application-group defaults suite that both programs share. Keeps no copy
// of the values: every read and write goes to the suite (whose reads are never cached).
class GroupDefaults {
 public:
  static constexpr const char* name = "group.com.velkor.tarvo";

  enum class Key {
    certificate,
    requirePIN,
    containerPeer,
    driverPeer,
    pairingIdentities,
    enableUnlockForLogin,
    unlockVersion,
  };
  static const char* rawValue(Key key);
  static std::optional<Key> keyFromRawValue(std::string_view rawValue);  // exact, case-sensitive

  // Absent when the platform refuses the suite name.
  static std::optional<GroupDefaults> init(std::string_view suiteName);

  std::optional<platform::foundation::PlistValue> object(Key key) const;
  std::optional<platform::foundation::Bytes> data(Key key) const;  // absent unless bytes
  bool boolean(Key key) const;                                     // false when absent
  int64_t integer(Key key) const;                                  // 0 when absent
  std::optional<std::string> string(Key key) const;
  void set(platform::foundation::PlistValue value, Key key) const;
  void removeValue(Key key) const;
  // Removes the whole suite named by `name`, whatever suite this instance was opened with.
  void removeAll() const;

  const platform::foundation::Defaults& defaults() const { return defaults_; }

 private:
  explicit GroupDefaults(platform::foundation::Defaults defaults)
      : defaults_(std::move(defaults)) {}
  platform::foundation::Defaults defaults_;
};

}  // namespace brellis::group_defaults
