#include "connectivity_protocol/result_coding.h"

#include <string>

#include "connectivity_protocol/coding_keys.h"

namespace brellis::connectivity_protocol {

CodedResult decodeCodedResult(const RecordReader& reader) {
  const char* key = stringValue(CodingKeys::result);
  std::string text = reader.string(key);
  std::optional<CodedResult> result = codedResult(text);
  if (!result) reader.invalidRawValue(key, "CodedResult", text);
  return *result;
}

ConnectivityError decodeFailure(const RecordReader& reader) {
  const char* key = stringValue(CodingKeys::failure);
  std::string text = reader.string(key);
  std::optional<ConnectivityError> error = ConnectivityError::fromRawValue(text);
  if (!error) reader.invalidRawValue(key, "ConnectivityError", text);
  return *error;
}

void encodeFailure(const ConnectivityError& error, platform::foundation::PlistDict& dict) {
  dict.set(stringValue(CodingKeys::result), rawValue(CodedResult::failure));
  dict.set(stringValue(CodingKeys::failure), error.rawValue());
}

}  // namespace brellis::connectivity_protocol
