#pragma once

#include <memory>
#include <optional>

#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"

namespace brellis::token_host {

// The two keychain items of the token configuration, made from the certificate of the unlock
// data: the key item first, the certificate item second. Absent when any step fails; each
// failure is logged (tokenUtilitiesLog) followed by "Failed to get keychain items".
std::optional<platform::crypto_token_kit::TKTokenKeychainItems> makeKeychainItems(
    const platform::foundation::Bytes& certificateData);

// The steps of makeKeychainItems, each logging only its own failure.
std::shared_ptr<const platform::crypto_token_kit::SecCertificate> makeCertificate(
    const platform::foundation::Bytes& data);
std::shared_ptr<platform::crypto_token_kit::TKTokenKeychainKey> makeKeychainKey(
    const platform::crypto_token_kit::SecCertificate& certificate);
std::shared_ptr<platform::crypto_token_kit::TKTokenKeychainCertificate> makeKeychainCertificate(
    const platform::crypto_token_kit::SecCertificate& certificate);
// Label, the four capabilities (all true) and the PIN constraints of the key item.
void configureKeychainKey(platform::crypto_token_kit::TKTokenKeychainKey& key);

}  // namespace brellis::token_host
