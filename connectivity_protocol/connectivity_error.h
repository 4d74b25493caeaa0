#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error_record.h"

namespace brellis::connectivity_protocol {

// Why a key operation failed, raised on the Mac or reported by the phone. The raw value is both
// the message (what()) and the wire form. Bridges as "UnlockConnectivityProtocol.ConnectivityError"
// with the case position as code.
class ConnectivityError : public platform::foundation::BridgedError {
 public:
  enum class Case {
    failureDecode,
    failureEncode,
    invalidCertificate,
    failureSign,
    failureDecrypt,
    failureSend,
    unknownTag,
    incorrectPIN,
    failedLocalAuth,
    nilResult,
    timedOut,
  };
  static constexpr size_t kCaseCount = 11;
  static constexpr const char* kDomain = "UnlockConnectivityProtocol.ConnectivityError";

  explicit ConnectivityError(Case value) : value_(value) {}

  // Exact, case-sensitive; absent for any other text.
  static std::optional<ConnectivityError> fromRawValue(std::string_view rawValue);

  Case value() const { return value_; }
  const char* rawValue() const;
  const char* what() const noexcept override;

  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;  // the case name, e.g. "timedOut"

  bool operator==(const ConnectivityError& other) const { return value_ == other.value_; }

 private:
  Case value_;
};

}  // namespace brellis::connectivity_protocol

template <>
struct std::hash<brellis::connectivity_protocol::ConnectivityError> {
  size_t operator()(const brellis::connectivity_protocol::ConnectivityError& error) const noexcept {
    return std::hash<std::string_view>()(error.rawValue());
  }
};
