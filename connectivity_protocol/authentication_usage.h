#pragma once

#include <optional>
#include <string_view>

namespace brellis::connectivity_protocol {

// The key operation a request asks the phone for; travels as its raw value.
enum class AuthenticationUsage { sign, decrypt, keyExchange };

const char* rawValue(AuthenticationUsage usage);  // "sign", "decrypt", "keyExchange"
// Exact, case-sensitive; absent for any other text.
std::optional<AuthenticationUsage> authenticationUsage(std::string_view rawValue);

}  // namespace brellis::connectivity_protocol
