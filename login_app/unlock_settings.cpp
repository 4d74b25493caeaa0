#include "login_app/unlock_settings.h"

#include "platform/foundation/decoding_error.h"
#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_codec.h"
#include "platform/os_log/logger.h"

namespace brellis::login_app {

namespace {

using platform::foundation::DecodingError;
using platform::foundation::PlistDict;
using platform::foundation::PlistValue;

std::optional<bool> decodeFlag(const PlistDict& dict, const char* key) {
  const PlistValue* value = dict.find(key);
  if (!value) return std::nullopt;
  if (!value->isBool()) {
    throw DecodingError(DecodingError::Kind::typeMismatch, {key},
                        "Expected to decode Bool but found " +
                            std::string(platform::foundation::kindName(*value)) + " instead.");
  }
  return *value->boolean();
}

// NSLog's place: the system log, "%@" of the message.
void systemLog(const std::string& message) {
  static const platform::os_log::Logger logger("", "");
  logger.notice("%{public}@", message);
}

}  // namespace

UnlockSettings UnlockSettings::decode(const PlistValue& value) {
  const PlistDict* dict = value.dict();
  if (!dict) {
    throw DecodingError(DecodingError::Kind::typeMismatch, {},
                        "Expected to decode Dictionary but found " +
                            std::string(platform::foundation::kindName(value)) + " instead.");
  }
  return {decodeFlag(*dict, kEnableUnlockKey), decodeFlag(*dict, kRequirePINKey),
          decodeFlag(*dict, kEnableUnlockForLoginKey)};
}

PlistValue UnlockSettings::encode() const {
  PlistDict dict;
  if (enableUnlock) dict.set(kEnableUnlockKey, PlistValue(*enableUnlock));
  if (requirePIN) dict.set(kRequirePINKey, PlistValue(*requirePIN));
  if (enableUnlockForLogin) dict.set(kEnableUnlockForLoginKey, PlistValue(*enableUnlockForLogin));
  return PlistValue(std::move(dict));
}

std::optional<UnlockSettings> UnlockSettings::load(const platform::foundation::Defaults& defaults) {
  auto value = defaults.object(kSettingsKey);
  if (!value || !value->dict()) return std::nullopt;
  try {
    const auto bytes = platform::foundation::writeBinaryPlist(*value);
    return decode(platform::foundation::readBinaryPlist(bytes));
  } catch (...) {
    systemLog(platform::foundation::currentExceptionRecord().localizedDescription());
    return std::nullopt;
  }
}

}  // namespace brellis::login_app
