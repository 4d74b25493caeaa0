#include "token_host/keychain_items.h"

#include "platform/crypto_token_kit/tk_bertlv_record.h"
#include "token_host/token_utilities_log.h"
#include "token_host/unlock_token_configuration.h"

namespace brellis::token_host {

namespace {

namespace ctk = platform::crypto_token_kit;

constexpr const char* kCertificateFailed = "Failed to init SecCertificate with certificate data";
constexpr const char* kKeyFailed = "Failed to init TKTokenKeychainKey with SecCertificate";
constexpr const char* kCertificateItemFailed = "Failed to init TKTokenKeychainCertificate";
constexpr const char* kItemsFailed = "Failed to get keychain items";

}  // namespace

std::shared_ptr<const ctk::SecCertificate> makeCertificate(
    const platform::foundation::Bytes& data) {
  auto certificate = ctk::SecCertificate::createWithData(data);
  if (!certificate) tokenUtilitiesLog().error(kCertificateFailed);
  return certificate;
}

std::shared_ptr<ctk::TKTokenKeychainKey> makeKeychainKey(const ctk::SecCertificate& certificate) {
  auto key = ctk::TKTokenKeychainKey::initWithCertificate(certificate, keyObjectID);
  if (!key) tokenUtilitiesLog().error(kKeyFailed);
  return key;
}

std::shared_ptr<ctk::TKTokenKeychainCertificate> makeKeychainCertificate(
    const ctk::SecCertificate& certificate) {
  auto item = ctk::TKTokenKeychainCertificate::initWithCertificate(
      certificate, ctk::TKBERTLVRecord::dataForTag(keyObjectID));
  if (!item) {
    tokenUtilitiesLog().error(kCertificateItemFailed);
    return nullptr;
  }
  item->setLabel(certificateLabel);
  return item;
}

void configureKeychainKey(ctk::TKTokenKeychainKey& key) {
  key.setLabel(keyLabel);
  key.setCanSign(true);
  key.setCanDecrypt(true);
  key.setCanPerformKeyExchange(true);
  key.setSuitableForLogin(true);
  key.setConstraints(keyConstraints());
}

std::optional<ctk::TKTokenKeychainItems> makeKeychainItems(
    const platform::foundation::Bytes& certificateData) {
  auto certificate = makeCertificate(certificateData);
  if (!certificate) {
    tokenUtilitiesLog().error(kItemsFailed);
    return std::nullopt;
  }
  auto key = makeKeychainKey(*certificate);
  if (!key) {
    tokenUtilitiesLog().error(kItemsFailed);
    return std::nullopt;
  }
  configureKeychainKey(*key);
  auto item = makeKeychainCertificate(*certificate);
  if (!item) {
    tokenUtilitiesLog().error(kItemsFailed);
    return std::nullopt;
  }
  return ctk::TKTokenKeychainItems{key, item};
}

}  // namespace brellis::token_host
