#include "connectivity_protocol/authentication_response.h"

#include "connectivity_protocol/coding_keys.h"
#include "connectivity_protocol/record_reader.h"
#include "connectivity_protocol/result_coding.h"

namespace brellis::connectivity_protocol {

namespace fnd = platform::foundation;

fnd::PlistValue AuthenticationResponse::toPropertyList() const {
  fnd::PlistDict dict;
  dict.set(stringValue(CodingKeys::tag), tag_.string());
  if (result_) {
    dict.set(stringValue(CodingKeys::result), rawValue(CodedResult::success));
    dict.set(stringValue(CodingKeys::success), *result_);
  } else {
    encodeFailure(result_.error(), dict);
  }
  dict.set(stringValue(CodingKeys::unlockVersion), rawValue(unlockVersion_));
  return dict;
}

fnd::Bytes AuthenticationResponse::encode() const { return writeRecord(toPropertyList()); }

AuthenticationResponse AuthenticationResponse::fromPropertyList(const fnd::PlistValue& value) {
  RecordReader reader(value);
  fnd::Uuid tag = reader.uuid(stringValue(CodingKeys::tag));
  AuthenticationResult result;
  if (decodeCodedResult(reader) == CodedResult::success) {
    result = reader.data(stringValue(CodingKeys::success));
  } else {
    result = tl::unexpected(decodeFailure(reader));
  }
  UnlockVersion version =
      unlockVersionLeniently(reader.find(stringValue(CodingKeys::unlockVersion)));
  return AuthenticationResponse(tag, std::move(result), version);
}

AuthenticationResponse AuthenticationResponse::decode(const fnd::Bytes& bytes) {
  return fromPropertyList(readRecord(bytes));
}

}  // namespace brellis::connectivity_protocol
