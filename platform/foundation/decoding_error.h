#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/error_record.h"

namespace brellis::platform::foundation {

// NSCoderValueNotFoundError: a decoder's error for a missing key or value.
inline constexpr int64_t kCoderValueNotFoundError = 4865;

// The error a decoder raises when a property-list tree does not hold what the value being decoded
// needs. Bridges to the platform's coder errors: NSCocoaErrorDomain 4864 (kCoderReadCorruptError)
// for a type mismatch or corrupted data, 4865 for a missing key or value, with the coding path and
// the debug description in the user info.
class DecodingError : public BridgedError {
 public:
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

  DecodingError(Kind kind, std::vector<std::string> codingPath, std::string debugDescription);

  Kind kind() const { return kind_; }
  const std::vector<std::string>& codingPath() const { return codingPath_; }
  const std::string& debugDescription() const { return debugDescription_; }

  ErrorRecord toRecord() const override;
  // "<kind>(codingPath: [a.b], debugDescription: "...")".
  std::string description() const override;

 private:
  Kind kind_;
  std::vector<std::string> codingPath_;
  std::string debugDescription_;
};

}  // namespace brellis::platform::foundation
