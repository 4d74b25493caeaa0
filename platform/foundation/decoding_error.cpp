#include "platform/foundation/decoding_error.h"

#include <utility>

namespace brellis::platform::foundation {

namespace {

constexpr const char* kCodingPathKey = "NSCodingPath";
constexpr const char* kReadFormatMessage =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";

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
                             std::string debugDescription, Format format)
    : kind_(kind),
      format_(format),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {}

ErrorRecord DecodingError::toRecord() const {
  ErrorRecord record;
  record.domain = kCocoaErrorDomain;
  if (format_ == Format::keyedArchive) {
    record.code = kCoderReadCorruptError;
    record.userInfo.set(kDebugDescriptionKey, debugDescription_);
    record.userInfo.set(kLocalizedDescriptionKey, kReadFormatMessage);
    return record;
  }
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
  if (format_ == Format::keyedArchive) return toRecord().description();
  std::string path;
  for (const auto& key : codingPath_) {
    if (!path.empty()) path += ".";
    path += key;
  }
  return std::string(kindName(kind_)) + "(codingPath: [" + path + "], debugDescription: \"" +
         debugDescription_ + "\")";
}

}  // namespace brellis::platform::foundation
