#pragma once

#include <string>
#include <vector>

#include "platform/foundation/error_record.h"

namespace brellis::daemon_client {

// The error a keyed decoder raises when a property-list tree does not hold the value it is asked
// for; it bridges to the platform's coder errors (NSCocoaErrorDomain 4864 for a type mismatch or
// corrupted data, 4865 for a missing key or value) with the debug description and coding path in
// the user info.
class KeyedDecodingError : public platform::foundation::BridgedError {
 public:
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

  KeyedDecodingError(Kind kind, std::vector<std::string> codingPath, std::string debugDescription);

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

}  // namespace brellis::daemon_client
