#pragma once

#include <optional>
#include <string_view>

namespace brellis::connectivity_protocol {

// The value of a response's "result" key.
enum class CodedResult { success, failure };

const char* rawValue(CodedResult result);  // "success", "failure"
// Exact, case-sensitive; absent for any other text.
std::optional<CodedResult> codedResult(std::string_view rawValue);

}  // namespace brellis::connectivity_protocol
