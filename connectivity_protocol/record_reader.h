#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::connectivity_protocol {

// Reads one keyed record (a property-list dictionary) the way the property-list decoder does:
// every failure raises DecodingError with the coding path of the offending key. Borrows the
// tree; the tree must outlive the reader.
class RecordReader {
 public:
  // Raises typeMismatch when `value` is not a dictionary.
  explicit RecordReader(const platform::foundation::PlistValue& value,
                        std::vector<std::string> codingPath = {});

  const platform::foundation::PlistValue* find(std::string_view key) const;
  // Raises keyNotFound when the key is missing.
  const platform::foundation::PlistValue& require(std::string_view key) const;

  std::string string(std::string_view key) const;
  platform::foundation::Bytes data(std::string_view key) const;
  int64_t int64(std::string_view key) const;
  platform::foundation::Uuid uuid(std::string_view key) const;  // from its text
  RecordReader nested(std::string_view key) const;

  // Absent when the key is missing; a present value of another kind still raises.
  std::optional<std::string> optionalString(std::string_view key) const;
  std::optional<platform::foundation::Bytes> optionalData(std::string_view key) const;

  std::vector<std::string> pathTo(std::string_view key) const;
  [[noreturn]] void typeMismatch(std::string_view key, const char* expected) const;
  [[noreturn]] void corrupted(std::string_view key, const std::string& message) const;
  // dataCorrupted for text that is not a raw value of the enumeration `type`.
  [[noreturn]] void invalidRawValue(std::string_view key, const char* type,
                                    const std::string& text) const;

 private:
  const platform::foundation::PlistDict* dict_;
  std::vector<std::string> codingPath_;
};

// The binary property list of a record ("bplist00").
platform::foundation::Bytes writeRecord(const platform::foundation::PlistValue& record);
// Reads a property list (either format); raises DecodingError (dataCorrupted) when the bytes
// are not one.
platform::foundation::PlistValue readRecord(const platform::foundation::Bytes& bytes);

}  // namespace brellis::connectivity_protocol
