#include "connectivity_protocol/authentication_request.h"

#include <utility>

#include "connectivity_protocol/record_keys.h"
#include "connectivity_protocol/record_reader.h"

namespace brellis::connectivity_protocol {

namespace fnd = platform::foundation;

AuthenticationRequest::AuthenticationRequest(fnd::Uuid tag, AuthenticationUsage usage,
                                             fnd::Bytes data, int64_t certID,
                                             std::optional<std::string> pin,
                                             fnd::Bytes ephemeralKey,
                                             std::optional<KeyExchangeParams> keyExchangeParams)
    : tag_(tag),
      usage_(usage),
      data_(std::move(data)),
      certID_(certID),
      pin_(std::move(pin)),
      ephemeralKey_(std::move(ephemeralKey)),
      keyExchangeParams_(std::move(keyExchangeParams)) {}

fnd::PlistValue AuthenticationRequest::toPropertyList() const {
  fnd::PlistDict dict;
  dict.set(keys::kTag, tag_.string());
  dict.set(keys::kUsage, rawValue(usage_));
  dict.set(keys::kData, data_);
  dict.set(keys::kCertID, certID_);
  if (pin_) dict.set(keys::kPin, *pin_);
  dict.set(keys::kEphemeralKey, ephemeralKey_);
  if (keyExchangeParams_) dict.set(keys::kKeyExchangeParams, keyExchangeParams_->toPropertyList());
  return dict;
}

fnd::Bytes AuthenticationRequest::encode() const { return writeRecord(toPropertyList()); }

AuthenticationRequest AuthenticationRequest::fromPropertyList(const fnd::PlistValue& value) {
  RecordReader reader(value);
  fnd::Uuid tag = reader.uuid(keys::kTag);
  std::string usageText = reader.string(keys::kUsage);
  std::optional<AuthenticationUsage> usage = authenticationUsage(usageText);
  if (!usage) {
    reader.invalidRawValue(keys::kUsage, "AuthenticationUsage", usageText);
  }
  fnd::Bytes data = reader.data(keys::kData);
  int64_t certID = reader.int64(keys::kCertID);
  std::optional<std::string> pin = reader.optionalString(keys::kPin);
  fnd::Bytes ephemeralKey = reader.data(keys::kEphemeralKey);
  std::optional<KeyExchangeParams> params;
  if (const fnd::PlistValue* nested = reader.find(keys::kKeyExchangeParams)) {
    params = KeyExchangeParams::fromPropertyList(*nested, reader.pathTo(keys::kKeyExchangeParams));
  }
  return AuthenticationRequest(tag, *usage, std::move(data), certID, std::move(pin),
                               std::move(ephemeralKey), std::move(params));
}

AuthenticationRequest AuthenticationRequest::decode(const fnd::Bytes& bytes) {
  return fromPropertyList(readRecord(bytes));
}

}  // namespace brellis::connectivity_protocol
