#pragma once

#include <string>
#include <vector>

#include "platform/foundation/error_record.h"

namespace brellis::connectivity_protocol {

// The property-list decoder's error: what decoding a record raises when the tree does not hold
// what the record needs. Bridges to the platform's coder errors: NSCocoaErrorDomain 4864 for a
// type mismatch or corrupted data, 4865 for a missing key, with the coding path and the debug
// description in the user info.
class DecodingError : public platform::foundation::BridgedError {
 public:
  enum class Kind { typeMismatch, keyNotFound, dataCorrupted };

  DecodingError(Kind kind, std::vector<std::string> codingPath, std::string debugDescription);

  Kind kind() const { return kind_; }
  const std::vector<std::string>& codingPath() const { return codingPath_; }
  const std::string& debugDescription() const { return debugDescription_; }

  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;

 private:
  Kind kind_;
  std::vector<std::string> codingPath_;
  std::string debugDescription_;
};

}  // namespace brellis::connectivity_protocol
