#include "group_defaults/group_defaults.h"

namespace brellis::group_defaults {

namespace {

using platform::foundation::Defaults;

constexpr const char* kRawValues[] = {
    "Certificate",       "RequirePIN",           "ContainerPeer", "DriverPeer",
    "PairingIdentities", "EnableUnlockForLogin", "UnlockVersion",
};

}  // namespace

const char* GroupDefaults::rawValue(Key key) { return kRawValues[static_cast<int>(key)]; }

std::optional<GroupDefaults::Key> GroupDefaults::keyFromRawValue(std::string_view rawValue) {
  for (int i = 0; i < 7; ++i) {
    if (rawValue == kRawValues[i]) return static_cast<Key>(i);
  }
  return std::nullopt;
}

std::optional<GroupDefaults> GroupDefaults::init(std::string_view suiteName) {
  auto defaults = Defaults::open(suiteName);
  if (!defaults) return std::nullopt;
  return GroupDefaults(std::move(*defaults));
}

std::optional<platform::foundation::PlistValue> GroupDefaults::object(Key key) const {
  return defaults_.object(rawValue(key));
}

std::optional<platform::foundation::Bytes> GroupDefaults::data(Key key) const {
  return defaults_.data(rawValue(key));
}

bool GroupDefaults::boolean(Key key) const { return defaults_.boolean(rawValue(key)); }

int64_t GroupDefaults::integer(Key key) const { return defaults_.integer(rawValue(key)); }

std::optional<std::string> GroupDefaults::string(Key key) const {
  return defaults_.string(rawValue(key));
}

void GroupDefaults::set(platform::foundation::PlistValue value, Key key) const {
  defaults_.set(rawValue(key), std::move(value));
}

void GroupDefaults::removeValue(Key key) const { defaults_.remove(rawValue(key)); }

void GroupDefaults::removeAll() const { Defaults::removePersistentDomain(name); }

}  // namespace brellis::group_defaults
