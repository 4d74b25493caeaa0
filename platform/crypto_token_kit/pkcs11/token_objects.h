#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto_token_kit/object_id.h"
#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// What a private key object needs for key operations.
struct KeyDescription {
  ObjectID keyObjectID;
  KeyType keyType = KeyType::rsa;
  int64_t keySizeInBits = 0;
  // The token asks for a PIN on every use of the key.
  bool alwaysAuthenticate = false;
};

// One PKCS#11 object: its attribute values in their PKCS#11 byte form. Values that are not
// fixed by the keychain items (the capabilities of a private key: CKA_SIGN, CKA_DECRYPT,
// CKA_DERIVE) are left out here; the module asks the token for them when they are read.
struct TokenObject {
  // Identifies the object across re-reads of the configuration; a replaced certificate or key
  // makes a new identity (and so a new handle).
  std::string identity;
  CK_OBJECT_CLASS objectClass = CKO_DATA;
  std::map<CK_ATTRIBUTE_TYPE, foundation::Bytes> attributes;
  // Present for private keys.
  std::optional<KeyDescription> key;
  // Attributes whose values exist but may not be revealed (CKR_ATTRIBUTE_SENSITIVE).
  std::vector<CK_ATTRIBUTE_TYPE> sensitive;
};

foundation::Bytes boolValue(bool value);
foundation::Bytes ulongValue(CK_ULONG value);
foundation::Bytes textValue(const std::string& text);

// The objects of a token's keychain items: for each key item a private key and a public key, and
// for each certificate item a certificate; a key and the certificate of its public key share
// CKA_ID and CKA_LABEL. Items of kinds the module cannot describe are left out. `pinRequired`:
// the token asks for a PIN before every key operation (every private key is then a private
// object with CKA_ALWAYS_AUTHENTICATE).
std::vector<TokenObject> objectsForItems(const TKTokenKeychainItems& items,
                                         bool pinRequired = false);

// The attributes a private key's capabilities are read through, and the operation each asks
// the token about.
std::optional<TKTokenOperation> capabilityOperation(CK_ATTRIBUTE_TYPE type);

}  // namespace brellis::platform::crypto_token_kit::pkcs11
