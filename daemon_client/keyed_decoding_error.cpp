#include "daemon_client/keyed_decoding_error.h"

#include <utility>

namespace brellis::daemon_client {

namespace {

namespace fnd = platform::foundation;

constexpr int64_t kCoderReadCorruptError = 4864;
constexpr int64_t kCoderValueNotFoundError = 4865;
constexpr const char* kCodingPathKey = "NSCodingPath";

const char* kindName(KeyedDecodingError::Kind kind) {
  switch (kind) {
    case KeyedDecodingError::Kind::typeMismatch:
      return "typeMismatch";
    case KeyedDecodingError::Kind::valueNotFound:
      return "valueNotFound";
    case KeyedDecodingError::Kind::keyNotFound:
      return "keyNotFound";
    case KeyedDecodingError::Kind::dataCorrupted:
      return "dataCorrupted";
  }
  return "dataCorrupted";
}

}  // namespace

KeyedDecodingError::KeyedDecodingError(Kind kind, std::vector<std::string> codingPath,
                                       std::string debugDescription)
    : kind_(kind), codingPath_(std::move(codingPath)), debugDescription_(std::move(debugDescription)) {}

fnd::ErrorRecord KeyedDecodingError::toRecord() const {
  fnd::ErrorRecord record;
  record.domain = fnd::kCocoaErrorDomain;
  record.code = (kind_ == Kind::typeMismatch || kind_ == Kind::dataCorrupted)
                    ? kCoderReadCorruptError
                    : kCoderValueNotFoundError;
  fnd::PlistArray path;
  for (const auto& key : codingPath_) path.emplace_back(key);
  record.userInfo.set(kCodingPathKey, fnd::PlistValue(std::move(path)));
  record.userInfo.set(fnd::kDebugDescriptionKey, fnd::PlistValue(debugDescription_));
  return record;
}

std::string KeyedDecodingError::description() const {
  std::string path;
  for (const auto& key : codingPath_) {
    if (!path.empty()) path += ".";
    path += key;
  }
  return std::string(kindName(kind_)) + "(codingPath: [" + path + "], debugDescription: \"" +
         debugDescription_ + "\")";
}

}  // namespace brellis::daemon_client
