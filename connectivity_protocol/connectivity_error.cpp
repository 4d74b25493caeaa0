#include "connectivity_protocol/connectivity_error.h"

#include <array>

namespace brellis::connectivity_protocol {

namespace {

struct CaseText {
  const char* name;
  const char* rawValue;
};

constexpr std::array<CaseText, ConnectivityError::kCaseCount> kCases{{
    {"failureDecode", "Failed to decode"},
    {"failureEncode", "Failed to encode"},
    {"invalidCertificate", "Invalid certificate"},
    {"failureSign", "Failed to sign"},
    {"failureDecrypt", "Failed to decrypt"},
    {"failureSend", "Failed to send"},
    {"unknownTag", "Unknown tag"},
    {"incorrectPIN", "Incorrect PIN"},
    {"failedLocalAuth", "Failed local auth"},
    {"nilResult", "Result is nil"},
    {"timedOut", "Timed out"},
}};

const CaseText& textOf(ConnectivityError::Case value) { return kCases[static_cast<size_t>(value)]; }

}  // namespace

std::optional<ConnectivityError> ConnectivityError::fromRawValue(std::string_view rawValue) {
  for (size_t i = 0; i < kCases.size(); ++i) {
    if (rawValue == kCases[i].rawValue) return ConnectivityError(static_cast<Case>(i));
  }
  return std::nullopt;
}

const char* ConnectivityError::rawValue() const { return textOf(value_).rawValue; }

const char* ConnectivityError::what() const noexcept { return textOf(value_).rawValue; }

platform::foundation::ErrorRecord ConnectivityError::toRecord() const {
  platform::foundation::ErrorRecord record;
  record.domain = kDomain;
  record.code = static_cast<int64_t>(value_);
  return record;
}

std::string ConnectivityError::description() const { return textOf(value_).name; }

}  // namespace brellis::connectivity_protocol
