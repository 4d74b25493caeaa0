#include "platform/foundation/decoding_error.h"

#include <utility>

#include "platform/foundation/keyed_archiver.h"

namespace brellis::platform::foundation {

namespace {

constexpr const char* kCodingPathKey = "NSCodingPath";

const char* kindName(DecodingError::Kind kind) {
  switch (kind) {
    case DecodingError::Kind::typeMismatch:
      return "typeMismatch";
    case DecodingError::Kind::valueNotFound:
      return "valueNotFound";
    case DecodingError::Kind::keyNotFound:
      return "keyNotFound";
    case DecodingError::Kind::dataCorrupted:
      return "dataCorrupted";
  }
  return "dataCorrupted";
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::vector<std::string> codingPath,
                             std::string debugDescription)
    : kind_(kind),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {}

ErrorRecord DecodingError::toRecord() const {
  ErrorRecord record;
  record.domain = kCocoaErrorDomain;
  record.code = (kind_ == Kind::typeMismatch || kind_ == Kind::dataCorrupted)
                    ? kCoderReadCorruptError
                    : kCoderValueNotFoundError;
  PlistArray path;
  for (const auto& key : codingPath_) path.emplace_back(key);
  record.userInfo.set(kCodingPathKey, PlistValue(std::move(path)));
  record.userInfo.set(kDebugDescriptionKey, PlistValue(debugDescription_));
  return record;
}

std::string DecodingError::description() const {
  std::string path;
  for (const auto& key : codingPath_) {
    if (!path.empty()) path += ".";
    path += key;
  }
  return std::string(kindName(kind_)) + "(codingPath: [" + path + "], debugDescription: \"" +
         debugDescription_ + "\")";
}

}  // namespace brellis::platform::foundation
