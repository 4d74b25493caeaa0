#pragma once

// What the files that implement Module share.

#include <optional>
#include <string>
#include <vector>

#include "platform/crypto_token_kit/pkcs11/token_backend.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// Wipes a PIN held in a string.
void wipe(std::string& secret);

// The keychain items of the token `identity` among `tokens`; absent when it is not configured.
std::optional<TKTokenKeychainItems> itemsIn(const std::vector<TokenSnapshot>& tokens,
                                            const TokenIdentity& identity);

}  // namespace brellis::platform::crypto_token_kit::pkcs11
