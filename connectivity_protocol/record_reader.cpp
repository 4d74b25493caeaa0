#include "connectivity_protocol/record_reader.h"

#include <utility>

#include "platform/foundation/decoding_error.h"
#include "platform/foundation/plist_codec.h"

namespace brellis::connectivity_protocol {

namespace fnd = platform::foundation;
using fnd::DecodingError;

namespace {

constexpr const char* kNotAPropertyList = "The given data was not a valid property list.";
constexpr const char* kInvalidUuid = "Attempted to decode UUID from invalid UUID string.";

}  // namespace

RecordReader::RecordReader(const fnd::PlistValue& value, std::vector<std::string> codingPath)
    : dict_(value.dict()), codingPath_(std::move(codingPath)) {
  if (dict_ == nullptr) {
    throw DecodingError(DecodingError::Kind::typeMismatch, codingPath_,
                        std::string("Expected to decode a dictionary but found ") +
                            fnd::kindName(value) + " instead.");
  }
}

std::vector<std::string> RecordReader::pathTo(std::string_view key) const {
  auto path = codingPath_;
  path.emplace_back(key);
  return path;
}

void RecordReader::typeMismatch(std::string_view key, const char* expected) const {
  const fnd::PlistValue* value = find(key);
  throw DecodingError(DecodingError::Kind::typeMismatch, pathTo(key),
                      std::string("Expected to decode ") + expected + " but found " +
                          (value ? fnd::kindName(*value) : "nothing") + " instead.");
}

void RecordReader::corrupted(std::string_view key, const std::string& message) const {
  throw DecodingError(DecodingError::Kind::dataCorrupted, pathTo(key), message);
}

void RecordReader::invalidRawValue(std::string_view key, const char* type,
                                   const std::string& text) const {
  corrupted(key, std::string("Cannot initialize ") + type + " from invalid String value " + text);
}

const fnd::PlistValue* RecordReader::find(std::string_view key) const { return dict_->find(key); }

const fnd::PlistValue& RecordReader::require(std::string_view key) const {
  const fnd::PlistValue* value = find(key);
  if (value == nullptr) {
    throw DecodingError(DecodingError::Kind::keyNotFound, pathTo(key),
                        "No value associated with key \"" + std::string(key) + "\".");
  }
  return *value;
}

std::string RecordReader::string(std::string_view key) const {
  const std::string* text = require(key).string();
  if (text == nullptr) typeMismatch(key, "a string");
  return *text;
}

fnd::Bytes RecordReader::data(std::string_view key) const {
  const fnd::Bytes* bytes = require(key).data();
  if (bytes == nullptr) typeMismatch(key, "data");
  return *bytes;
}

int64_t RecordReader::int64(std::string_view key) const {
  std::optional<int64_t> number = require(key).int64();
  if (!number) {
    if (require(key).isInteger()) corrupted(key, "Number does not fit in Int64.");
    typeMismatch(key, "an integer");
  }
  return *number;
}

fnd::Uuid RecordReader::uuid(std::string_view key) const {
  std::optional<fnd::Uuid> parsed = fnd::Uuid::parse(string(key));
  if (!parsed) corrupted(key, kInvalidUuid);
  return *parsed;
}

RecordReader RecordReader::nested(std::string_view key) const {
  return RecordReader(require(key), pathTo(key));
}

std::optional<std::string> RecordReader::optionalString(std::string_view key) const {
  if (find(key) == nullptr) return std::nullopt;
  return string(key);
}

std::optional<fnd::Bytes> RecordReader::optionalData(std::string_view key) const {
  if (find(key) == nullptr) return std::nullopt;
  return data(key);
}

fnd::Bytes writeRecord(const fnd::PlistValue& record) { return fnd::writeBinaryPlist(record); }

fnd::PlistValue readRecord(const fnd::Bytes& bytes) {
  try {
    return fnd::readPlist(bytes);
  } catch (const fnd::PlistError& error) {
    throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                        std::string(kNotAPropertyList) + " (" + error.what() + ")");
  }
}

}  // namespace brellis::connectivity_protocol
