#include "connectivity_protocol/coded_result.h"

#include "connectivity_protocol/record_keys.h"

namespace brellis::connectivity_protocol {

// The raw values are the texts of the payload keys.
const char* rawValue(CodedResult result) {
  return result == CodedResult::success ? keys::kSuccess : keys::kFailure;
}

std::optional<CodedResult> codedResult(std::string_view rawValue) {
  if (rawValue == keys::kSuccess) return CodedResult::success;
  if (rawValue == keys::kFailure) return CodedResult::failure;
  return std::nullopt;
}

}  // namespace brellis::connectivity_protocol
