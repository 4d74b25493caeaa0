#include "token_host/keychain_items.h"

#include "platform/crypto_token_kit/tk_bertlv_record.h"
#include "token_host/token_host.h"

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
  if (!certificate) TokenHost::log().error(kCertificateFailed);
  return certificate;
}

std::shared_ptr<ctk::TKTokenKeychainKey> makeKeychainKey(const ctk::SecCertificate& certificate) {
  auto key = ctk::TKTokenKeychainKey::initWithCertificate(certificate, TokenHost::keyObjectID);
  if (!key) TokenHost::log().error(kKeyFailed);
  return key;
}

std::shared_ptr<ctk::TKTokenKeychainCertificate> makeKeychainCertificate(
    const ctk::SecCertificate& certificate) {
  auto item = ctk::TKTokenKeychainCertificate::initWithCertificate(
      certificate, ctk::TKBERTLVRecord::dataForTag(TokenHost::keyObjectID));
  if (!item) {
    TokenHost::log().error(kCertificateItemFailed);
    return nullptr;
  }
  item->setLabel(TokenHost::certificateLabel);
  return item;
}

void configureKeychainKey(ctk::TKTokenKeychainKey& key) {
  key.setLabel(TokenHost::keyLabel);
  key.setCanSign(true);
  key.setCanDecrypt(true);
  key.setCanPerformKeyExchange(true);
  key.setSuitableForLogin(true);
  key.setConstraints(TokenHost::keyConstraints());
}

std::optional<ctk::TKTokenKeychainItems> makeKeychainItems(
    const platform::foundation::Bytes& certificateData) {
  auto certificate = makeCertificate(certificateData);
  if (!certificate) {
    TokenHost::log().error(kItemsFailed);
    return std::nullopt;
  }
  auto key = makeKeychainKey(*certificate);
  if (!key) {
    TokenHost::log().error(kItemsFailed);
    return std::nullopt;
  }
  configureKeychainKey(*key);
  auto item = makeKeychainCertificate(*certificate);
  if (!item) {
    TokenHost::log().error(kItemsFailed);
    return std::nullopt;
  }
  return ctk::TKTokenKeychainItems{key, item};
}

}  // namespace brellis::token_host
