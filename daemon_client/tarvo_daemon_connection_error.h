#pragma once

#include <functional>
#include <string>

#include "platform/foundation/error_record.h"

namespace brellis::daemon_client {

// TarvoDaemonConnection::Error: raised when a daemon reply brings neither the expected values
// nor an error. `couldntGetProxy` belongs to the type only; nothing raises it.
class TarvoDaemonConnectionError : public platform::foundation::BridgedError {
 public:
  enum class Case { unknown = 0, couldntGetProxy = 1 };

  explicit TarvoDaemonConnectionError(Case kind) : case_(kind) {}
  static TarvoDaemonConnectionError unknown() { return TarvoDaemonConnectionError(Case::unknown); }

  Case kind() const { return case_; }
  std::string errorDescription() const;

  // Domain "TarvoDaemonXPC.TarvoDaemonConnection.Error", code = case position, the error
  // description as the localized description.
  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;

  bool operator==(const TarvoDaemonConnectionError& other) const { return case_ == other.case_; }

 private:
  Case case_;
};

}  // namespace brellis::daemon_client

// Hashable as its case, like its equality.
template <>
struct std::hash<brellis::daemon_client::TarvoDaemonConnectionError> {
  size_t operator()(const brellis::daemon_client::TarvoDaemonConnectionError& e) const noexcept {
    return std::hash<int>()(static_cast<int>(e.kind()));
  }
};
