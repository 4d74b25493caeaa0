#pragma once

#include <memory>

#include "platform/crypto_token_kit/tk_token_keychain_item.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

// The property-list form of keychain items in the shared token store:
//   {"kind": "key"|"certificate", "objectID": <integer|string|data>, "label": <string>,
//    "constraints": {"<operation number>": <value>},
//    key: "keyType": "RSA"|"EC", "keySizeInBits", "publicKeyData", "canSign", "canDecrypt",
//         "canPerformKeyExchange", "suitableForLogin";
//    certificate: "data"}
// Decoding checks every kind and range; anything else raises DecodingError.
foundation::PlistValue encodeKeychainItem(const TKTokenKeychainItem& item);
std::shared_ptr<TKTokenKeychainItem> decodeKeychainItem(const foundation::PlistValue& value);

foundation::PlistValue encodeKeychainItems(const TKTokenKeychainItems& items);
// Items that do not decode are left out.
TKTokenKeychainItems decodeKeychainItems(const foundation::PlistValue& value);

}  // namespace brellis::platform::crypto_token_kit
