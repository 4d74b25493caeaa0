#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/error_record.h"

namespace brellis::platform::foundation {

// NSCoderReadCorruptError: a decoder's error for a type mismatch or corrupted data.
inline constexpr int64_t kCoderReadCorruptError = 4864;
// NSCoderValueNotFoundError: a decoder's error for a missing key or value.
inline constexpr int64_t kCoderValueNotFoundError = 4865;

// The one error of the system's record decoders (keyed archives, property-list records, the
// daemon's replies): the input does not hold what the value being decoded needs. The decoder
// names what failed and where; the record it shows as is decided here, when it is bridged, and a
// boundary that has its own error for bad input (the XPC layer's reply-invalid error, say) maps
// it there.
class DecodingError : public BridgedError {
 public:
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };
  // What was being read, which decides the platform's form of the error:
  //   decodable     a Decodable value from a property-list tree: NSCocoaErrorDomain 4864 for a
  //                 type mismatch or corrupted data, 4865 for a missing key or value, with the
  //                 coding path and the debug description; described as the enumeration case.
  //   keyedArchive  a keyed archive (NSKeyedUnarchiver): NSCocoaErrorDomain 4864 with the debug
  //                 description and the platform's localized description; described as that
  //                 record.
  enum class Format { decodable, keyedArchive };

  DecodingError(Kind kind, std::vector<std::string> codingPath, std::string debugDescription,
                Format format = Format::decodable);

  Kind kind() const { return kind_; }
  Format format() const { return format_; }
  const std::vector<std::string>& codingPath() const { return codingPath_; }
  const std::string& debugDescription() const { return debugDescription_; }

  ErrorRecord toRecord() const override;
  // Decodable: "<kind>(codingPath: [a.b], debugDescription: "...")"; keyed archive: the record's
  // description.
  std::string description() const override;

 private:
  Kind kind_;
  Format format_;
  std::vector<std::string> codingPath_;
  std::string debugDescription_;
};

}  // namespace brellis::platform::foundation
