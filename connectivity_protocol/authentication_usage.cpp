#include "connectivity_protocol/authentication_usage.h"

namespace brellis::connectivity_protocol {

namespace {

constexpr const char* kSign = "sign";
constexpr const char* kDecrypt = "decrypt";
constexpr const char* kKeyExchange = "keyExchange";

}  // namespace

const char* rawValue(AuthenticationUsage usage) {
  switch (usage) {
    case AuthenticationUsage::sign:
      return kSign;
    case AuthenticationUsage::decrypt:
      return kDecrypt;
    case AuthenticationUsage::keyExchange:
      return kKeyExchange;
  }
  return kSign;
}

std::optional<AuthenticationUsage> authenticationUsage(std::string_view rawValue) {
  if (rawValue == kSign) return AuthenticationUsage::sign;
  if (rawValue == kDecrypt) return AuthenticationUsage::decrypt;
  if (rawValue == kKeyExchange) return AuthenticationUsage::keyExchange;
  return std::nullopt;
}

}  // namespace brellis::connectivity_protocol
