#include "connectivity_protocol/decoding_error.h"

#include <utility>

namespace brellis::connectivity_protocol {

namespace {

namespace fnd = platform::foundation;

constexpr int64_t kCoderReadCorruptError = 4864;
constexpr int64_t kCoderValueNotFoundError = 4865;
constexpr const char* kCodingPathKey = "NSCodingPath";

const char* kindName(DecodingError::Kind kind) {
  switch (kind) {
    case DecodingError::Kind::typeMismatch:
      return "typeMismatch";
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

fnd::ErrorRecord DecodingError::toRecord() const {
  fnd::ErrorRecord record;
  record.domain = fnd::kCocoaErrorDomain;
  record.code = kind_ == Kind::keyNotFound ? kCoderValueNotFoundError : kCoderReadCorruptError;
  fnd::PlistArray path;
  for (const auto& key : codingPath_) path.emplace_back(key);
  record.userInfo.set(kCodingPathKey, fnd::PlistValue(std::move(path)));
  record.userInfo.set(fnd::kDebugDescriptionKey, fnd::PlistValue(debugDescription_));
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

}  // namespace brellis::connectivity_protocol
