#include "platform/crypto_token_kit/pkcs11/token_objects.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/crypto_token_kit/pkcs11/key_encoding.h"
#include "platform/crypto_token_kit/tk_bertlv_record.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};

struct CertificateNames {
  Bytes subject;
  Bytes issuer;
  Bytes serialNumber;
};

template <class T, class Encode>
Bytes derOf(const T* value, Encode encode) {
  if (!value) return {};
  unsigned char* out = nullptr;
  const int length = encode(value, &out);
  if (length <= 0) return {};
  Bytes bytes(out, out + length);
  OPENSSL_free(out);
  return bytes;
}

std::optional<CertificateNames> certificateNames(const Bytes& der) {
  const unsigned char* cursor = der.data();
  std::unique_ptr<X509, X509Deleter> x509(
      d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!x509) return std::nullopt;
  CertificateNames names;
  names.subject = derOf(X509_get_subject_name(x509.get()),
                        [](const X509_NAME* n, unsigned char** o) { return i2d_X509_NAME(n, o); });
  names.issuer = derOf(X509_get_issuer_name(x509.get()),
                       [](const X509_NAME* n, unsigned char** o) { return i2d_X509_NAME(n, o); });
  names.serialNumber =
      derOf(X509_get0_serialNumber(x509.get()),
            [](const ASN1_INTEGER* i, unsigned char** o) { return i2d_ASN1_INTEGER(i, o); });
  return names;
}

Bytes idBytes(const ObjectID& id) {
  if (auto number = std::get_if<int64_t>(&id)) {
    return *number >= 0 ? TKBERTLVRecord::dataForTag(static_cast<uint64_t>(*number))
                        : ulongValue(static_cast<CK_ULONG>(*number));
  }
  if (auto text = std::get_if<std::string>(&id)) return Bytes(text->begin(), text->end());
  return std::get<Bytes>(id);
}

std::string identityOf(CK_OBJECT_CLASS objectClass, const Bytes& id, const Bytes& content) {
  std::string identity = std::to_string(objectClass) + ":";
  identity.append(id.begin(), id.end());
  identity.push_back('\0');
  identity.append(content.begin(), content.end());
  return identity;
}

void addCommon(TokenObject& object, const Bytes& id, const std::string& label) {
  object.attributes[CKA_CLASS] = ulongValue(object.objectClass);
  object.attributes[CKA_TOKEN] = boolValue(true);
  object.attributes[CKA_PRIVATE] = boolValue(false);
  object.attributes[CKA_MODIFIABLE] = boolValue(false);
  object.attributes[CKA_COPYABLE] = boolValue(false);
  object.attributes[CKA_DESTROYABLE] = boolValue(false);
  object.attributes[CKA_LABEL] = textValue(label);
  object.attributes[CKA_ID] = id;
}

// Public-key attributes shared by the private and the public key object.
bool addKeyMaterial(TokenObject& object, const TKTokenKeychainKey& key) {
  object.attributes[CKA_LOCAL] = boolValue(false);
  object.attributes[CKA_START_DATE] = {};
  object.attributes[CKA_END_DATE] = {};
  object.attributes[CKA_KEY_GEN_MECHANISM] = ulongValue(CK_UNAVAILABLE_INFORMATION);
  if (!key.publicKeyData()) return false;
  if (key.keyType() == KeyType::ecSECPrimeRandom) {
    auto parameters = ecParametersForKeySize(key.keySizeInBits());
    if (!parameters) return false;
    object.attributes[CKA_KEY_TYPE] = ulongValue(CKK_EC);
    object.attributes[CKA_EC_PARAMS] = *parameters;
    object.attributes[CKA_EC_POINT] = derOctetString(*key.publicKeyData());
    return true;
  }
  auto parts = rsaPublicKeyParts(*key.publicKeyData());
  if (!parts) return false;
  object.attributes[CKA_KEY_TYPE] = ulongValue(CKK_RSA);
  object.attributes[CKA_MODULUS] = parts->modulus;
  object.attributes[CKA_PUBLIC_EXPONENT] = parts->publicExponent;
  object.attributes[CKA_MODULUS_BITS] = ulongValue(static_cast<CK_ULONG>(key.keySizeInBits()));
  return true;
}

const TKTokenKeychainCertificate* certificateOfKey(
    const TKTokenKeychainKey& key,
    const std::vector<std::pair<const TKTokenKeychainCertificate*,
                                std::shared_ptr<const SecCertificate>>>& certificates) {
  for (const auto& [item, parsed] : certificates) {
    if (parsed && parsed->publicKey() && key.publicKeyData() &&
        parsed->publicKey()->publicKeyData == *key.publicKeyData()) {
      return item;
    }
  }
  return nullptr;
}

std::optional<TokenObject> certificateObject(const TKTokenKeychainCertificate& item,
                                             const Bytes& id, const std::string& label) {
  auto names = certificateNames(item.data());
  if (!names) return std::nullopt;
  TokenObject object;
  object.objectClass = CKO_CERTIFICATE;
  addCommon(object, id, label);
  object.identity = identityOf(CKO_CERTIFICATE, id, item.data());
  object.attributes[CKA_CERTIFICATE_TYPE] = ulongValue(CKC_X_509);
  object.attributes[CKA_TRUSTED] = boolValue(false);
  object.attributes[CKA_CERTIFICATE_CATEGORY] = ulongValue(0);
  object.attributes[CKA_VALUE] = item.data();
  object.attributes[CKA_SUBJECT] = names->subject;
  object.attributes[CKA_ISSUER] = names->issuer;
  object.attributes[CKA_SERIAL_NUMBER] = names->serialNumber;
  object.attributes[CKA_START_DATE] = {};
  object.attributes[CKA_END_DATE] = {};
  return object;
}

}  // namespace

Bytes boolValue(bool value) { return Bytes{static_cast<uint8_t>(value ? CK_TRUE : CK_FALSE)}; }

Bytes ulongValue(CK_ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

Bytes textValue(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::optional<TKTokenOperation> capabilityOperation(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_SIGN:
      return TKTokenOperation::signData;
    case CKA_DECRYPT:
      return TKTokenOperation::decryptData;
    case CKA_DERIVE:
      return TKTokenOperation::performKeyExchange;
    default:
      return std::nullopt;
  }
}

std::vector<TokenObject> objectsForItems(const TKTokenKeychainItems& items, bool pinRequired) {
  std::vector<std::pair<const TKTokenKeychainCertificate*, std::shared_ptr<const SecCertificate>>>
      certificates;
  for (const auto& item : items) {
    if (auto certificate = dynamic_cast<const TKTokenKeychainCertificate*>(item.get())) {
      certificates.emplace_back(certificate, SecCertificate::createWithData(certificate->data()));
    }
  }
  std::vector<TokenObject> objects;
  std::vector<const TKTokenKeychainCertificate*> paired;
  for (const auto& item : items) {
    auto key = dynamic_cast<const TKTokenKeychainKey*>(item.get());
    if (!key) continue;
    const auto* certificate = certificateOfKey(*key, certificates);
    const Bytes id = idBytes(key->objectID());
    std::string label = key->label().value_or("");
    if (label.empty() && certificate && certificate->label()) label = *certificate->label();
    std::optional<CertificateNames> names;
    if (certificate) names = certificateNames(certificate->data());

    TokenObject privateKey;
    privateKey.objectClass = CKO_PRIVATE_KEY;
    addCommon(privateKey, id, label);
    if (!addKeyMaterial(privateKey, *key)) continue;
    privateKey.identity = identityOf(CKO_PRIVATE_KEY, id, *key->publicKeyData());
    privateKey.attributes[CKA_SUBJECT] = names ? names->subject : Bytes{};
    privateKey.attributes[CKA_SENSITIVE] = boolValue(true);
    privateKey.attributes[CKA_ALWAYS_SENSITIVE] = boolValue(true);
    privateKey.attributes[CKA_EXTRACTABLE] = boolValue(false);
    privateKey.attributes[CKA_NEVER_EXTRACTABLE] = boolValue(true);
    privateKey.attributes[CKA_SIGN_RECOVER] = boolValue(false);
    privateKey.attributes[CKA_UNWRAP] = boolValue(false);
    privateKey.attributes[CKA_WRAP_WITH_TRUSTED] = boolValue(false);
    // The token session asks for a PIN before each operation or never; the key's constraints
    // (the same on every installed key) do not decide it.
    const bool always = pinRequired;
    privateKey.attributes[CKA_ALWAYS_AUTHENTICATE] = boolValue(always);
    // On a token that requires a login the private key is a private object, as clients expect
    // (GnuTLS logs in to read a private key object it finds on such a token).
    privateKey.attributes[CKA_PRIVATE] = boolValue(pinRequired);
    privateKey.sensitive = {CKA_VALUE,      CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,
                            CKA_EXPONENT_1, CKA_EXPONENT_2,       CKA_COEFFICIENT};
    privateKey.key = KeyDescription{key->objectID(), key->keyType(), key->keySizeInBits(), always};

    TokenObject publicKey;
    publicKey.objectClass = CKO_PUBLIC_KEY;
    addCommon(publicKey, id, label);
    addKeyMaterial(publicKey, *key);
    publicKey.identity = identityOf(CKO_PUBLIC_KEY, id, *key->publicKeyData());
    publicKey.attributes[CKA_SUBJECT] = privateKey.attributes[CKA_SUBJECT];
    for (auto type :
         {CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP, CKA_DERIVE, CKA_TRUSTED}) {
      publicKey.attributes[type] = boolValue(false);
    }

    objects.push_back(std::move(privateKey));
    objects.push_back(std::move(publicKey));
    if (certificate) {
      if (auto object = certificateObject(*certificate, id, label)) {
        objects.push_back(std::move(*object));
        paired.push_back(certificate);
      }
    }
  }
  for (const auto& [item, parsed] : certificates) {
    if (!parsed || std::find(paired.begin(), paired.end(), item) != paired.end()) continue;
    if (auto object =
            certificateObject(*item, idBytes(item->objectID()), item->label().value_or(""))) {
      objects.push_back(std::move(*object));
    }
  }
  return objects;
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
