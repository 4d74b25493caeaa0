#include "platform/crypto_token_kit/keychain_item_coding.h"

#include <charconv>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"
#include "platform/foundation/decoding_error.h"
#include "platform/os_log/logger.h"

namespace brellis::platform::crypto_token_kit {

namespace {

using foundation::DecodingError;
using foundation::PlistArray;
using foundation::PlistDict;
using foundation::PlistValue;

constexpr const char* kKind = "kind";
constexpr const char* kKindKey = "key";
constexpr const char* kKindCertificate = "certificate";
constexpr const char* kObjectID = "objectID";
constexpr const char* kLabel = "label";
constexpr const char* kConstraints = "constraints";
constexpr const char* kKeyType = "keyType";
constexpr const char* kKeyTypeRSA = "RSA";
constexpr const char* kKeyTypeEC = "EC";
constexpr const char* kKeySizeInBits = "keySizeInBits";
constexpr const char* kPublicKeyData = "publicKeyData";
constexpr const char* kCanSign = "canSign";
constexpr const char* kCanDecrypt = "canDecrypt";
constexpr const char* kCanPerformKeyExchange = "canPerformKeyExchange";
constexpr const char* kSuitableForLogin = "suitableForLogin";
constexpr const char* kData = "data";

const os_log::Logger& log() {
  static const os_log::Logger logger("CryptoTokenKit", "TokenStore");
  return logger;
}

std::optional<int64_t> parseOperation(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  // One spelling per number: "07" or "+7" would name the same operation twice.
  if (std::to_string(value) != text) return std::nullopt;
  return value;
}

[[noreturn]] void typeMismatch(std::vector<std::string> path, const char* expected,
                               const PlistValue& found) {
  throw DecodingError(DecodingError::Kind::typeMismatch, std::move(path),
                      std::string("Expected to decode ") + expected + " but found " +
                          foundation::kindName(found) + " instead.");
}

[[noreturn]] void corrupted(std::vector<std::string> path, const char* why) {
  throw DecodingError(DecodingError::Kind::dataCorrupted, std::move(path), why);
}

const PlistValue& required(const PlistDict& dict, const char* key) {
  const PlistValue* value = dict.find(key);
  if (!value) {
    throw DecodingError(DecodingError::Kind::keyNotFound, {key},
                        std::string("No value associated with key ") + key + ".");
  }
  return *value;
}

bool boolAt(const PlistDict& dict, const char* key) {
  const PlistValue& value = required(dict, key);
  if (!value.boolean()) typeMismatch({key}, "Bool", value);
  return *value.boolean();
}

}  // namespace

PlistValue encodeKeychainItem(const TKTokenKeychainItem& item) {
  PlistDict dict;
  const bool isKey = dynamic_cast<const TKTokenKeychainKey*>(&item) != nullptr;
  dict.set(kKind, isKey ? kKindKey : kKindCertificate);
  dict.set(kObjectID, objectIDToPlist(item.objectID()));
  if (item.label()) dict.set(kLabel, *item.label());
  PlistDict constraints;
  for (const auto& [operation, constraint] : item.constraints()) {
    constraints.set(std::to_string(operation), constraint);
  }
  dict.set(kConstraints, std::move(constraints));
  if (const auto* key = dynamic_cast<const TKTokenKeychainKey*>(&item)) {
    dict.set(kKeyType, key->keyType() == KeyType::rsa ? kKeyTypeRSA : kKeyTypeEC);
    dict.set(kKeySizeInBits, key->keySizeInBits());
    if (key->publicKeyData()) dict.set(kPublicKeyData, *key->publicKeyData());
    dict.set(kCanSign, key->canSign());
    dict.set(kCanDecrypt, key->canDecrypt());
    dict.set(kCanPerformKeyExchange, key->canPerformKeyExchange());
    dict.set(kSuitableForLogin, key->suitableForLogin());
  } else if (const auto* certificate = dynamic_cast<const TKTokenKeychainCertificate*>(&item)) {
    dict.set(kData, certificate->data());
  }
  return dict;
}

std::shared_ptr<TKTokenKeychainItem> decodeKeychainItem(const PlistValue& value) {
  const PlistDict* dict = value.dict();
  if (!dict) typeMismatch({}, "Dictionary", value);
  const PlistValue* kind = &required(*dict, kKind);
  if (!kind->string()) typeMismatch({kKind}, "String", *kind);
  auto objectID = objectIDFromPlist(required(*dict, kObjectID));
  if (!objectID) corrupted({kObjectID}, "not an object identifier");

  std::optional<std::string> label;
  if (const PlistValue* labelValue = dict->find(kLabel)) {
    if (!labelValue->string()) typeMismatch({kLabel}, "String", *labelValue);
    label = *labelValue->string();
  }
  TKTokenOperationConstraints constraints;
  if (const PlistValue* constraintsValue = dict->find(kConstraints)) {
    if (!constraintsValue->dict()) typeMismatch({kConstraints}, "Dictionary", *constraintsValue);
    for (const auto& [text, constraint] : *constraintsValue->dict()) {
      auto operation = parseOperation(text);
      if (!operation) corrupted({kConstraints, text}, "not an operation number");
      constraints[*operation] = constraint;
    }
  }

  std::shared_ptr<TKTokenKeychainItem> item;
  if (*kind->string() == kKindKey) {
    const PlistValue& keyTypeValue = required(*dict, kKeyType);
    const PlistValue& sizeValue = required(*dict, kKeySizeInBits);
    if (!sizeValue.int64()) typeMismatch({kKeySizeInBits}, "Int", sizeValue);
    KeyType keyType;
    if (keyTypeValue.string() && *keyTypeValue.string() == kKeyTypeRSA) {
      keyType = KeyType::rsa;
    } else if (keyTypeValue.string() && *keyTypeValue.string() == kKeyTypeEC) {
      keyType = KeyType::ecSECPrimeRandom;
    } else {
      corrupted({kKeyType}, "not a key type");
    }
    std::optional<foundation::Bytes> publicKeyData;
    if (const PlistValue* keyData = dict->find(kPublicKeyData)) {
      if (!keyData->data()) typeMismatch({kPublicKeyData}, "Data", *keyData);
      publicKeyData = *keyData->data();
    }
    auto key = std::make_shared<TKTokenKeychainKey>(*objectID, keyType, *sizeValue.int64(),
                                                    std::move(publicKeyData));
    key->setCanSign(boolAt(*dict, kCanSign));
    key->setCanDecrypt(boolAt(*dict, kCanDecrypt));
    key->setCanPerformKeyExchange(boolAt(*dict, kCanPerformKeyExchange));
    key->setSuitableForLogin(boolAt(*dict, kSuitableForLogin));
    item = key;
  } else if (*kind->string() == kKindCertificate) {
    const PlistValue& data = required(*dict, kData);
    if (!data.data()) typeMismatch({kData}, "Data", data);
    item = std::make_shared<TKTokenKeychainCertificate>(*objectID, *data.data());
  } else {
    corrupted({kKind}, "not a keychain item kind");
  }
  item->setLabel(std::move(label));
  item->setConstraints(std::move(constraints));
  return item;
}

PlistValue encodeKeychainItems(const TKTokenKeychainItems& items) {
  PlistArray array;
  for (const auto& item : items) {
    if (item) array.push_back(encodeKeychainItem(*item));
  }
  return array;
}

TKTokenKeychainItems decodeKeychainItems(const PlistValue& value) {
  TKTokenKeychainItems items;
  const PlistArray* array = value.array();
  if (!array) {
    log().error("Keychain items are not a list");
    return items;
  }
  for (const auto& entry : *array) {
    try {
      items.push_back(decodeKeychainItem(entry));
    } catch (const DecodingError&) {
      log().error("Skipping a keychain item that cannot be read");
    }
  }
  return items;
}

}  // namespace brellis::platform::crypto_token_kit
