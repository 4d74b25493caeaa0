#pragma once

#include <string>

#include "platform/foundation/error_record.h"

namespace brellis::ipc {

// Connection<Interface>::Error: why a connection's underlying XPC connection ended, as told to
// its delegate. A localized error: the record carries the description under
// NSLocalizedDescription; the domain is the qualified name of the connection's error type.
class ConnectionError : public platform::foundation::BridgedError {
 public:
  enum class Case { invalidated = 0, interrupted = 1 };

  ConnectionError(Case errorCase, std::string domain);

  Case errorCase() const { return case_; }
  // "Connection invalidated" / "Connection interrupted".
  std::string errorDescription() const;
  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;  // "invalidated" / "interrupted"

  bool operator==(const ConnectionError& other) const { return case_ == other.case_; }

 private:
  Case case_;
  std::string domain_;
};

}  // namespace brellis::ipc
