#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "platform/crypto_token_kit/pkcs11/token_backend.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_bertlv_record.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"

namespace brellis::platform::crypto_token_kit::pkcs11::testing {

using foundation::Bytes;

// A token service stand-in for the module's tests: tokens made from test certificates, the
// token's answers as a set of supported algorithms, and key operations carried out with the
// certificates' private keys (so signatures verify). A PIN, when required, is asked from the
// PIN source exactly as the service's PIN protocol does; "phone" counts what got past it.
class FakeTokenBackend : public TokenBackend {
 public:
  static constexpr const char* kClass = "com.velkor.tarvo.unlock.token";
  static constexpr int64_t kKeyNumber = 0x5FC100;

  struct Call {
    std::string instanceID;
    ObjectID key;
    TokenKeyAlgorithm algorithm;
    Bytes input;
    std::optional<TKTokenKeyExchangeParameters> parameters;
  };

  // The key item and certificate item of `certificate`, as the main program installs them.
  static TKTokenKeychainItems itemsFor(const test_support::TestCertificate& certificate,
                                       bool pinConstraint, int64_t number = kKeyNumber) {
    auto parsed = SecCertificate::createWithData(certificate.der);
    auto key = TKTokenKeychainKey::initWithCertificate(*parsed, number);
    key->setLabel("Unlock-Key");
    key->setCanSign(true);
    key->setCanDecrypt(true);
    key->setCanPerformKeyExchange(true);
    if (pinConstraint) {
      TKTokenOperationConstraints constraints;
      for (int64_t op = 0; op <= 4; ++op) constraints[op] = foundation::PlistValue("PINAlways");
      key->setConstraints(constraints);
    }
    auto item = TKTokenKeychainCertificate::initWithCertificate(
        *parsed, TKBERTLVRecord::dataForTag(static_cast<uint64_t>(number)));
    item->setLabel("VelkorUnlock");
    return {key, item};
  }

  void setToken(const std::string& instanceID, TKTokenKeychainItems items, Bytes privateKeyDer) {
    std::lock_guard lock(mutex_);
    tokens_.erase(
        std::remove_if(tokens_.begin(), tokens_.end(),
                       [&](const auto& t) { return t.identity.instanceID == instanceID; }),
        tokens_.end());
    tokens_.push_back({{kClass, instanceID}, std::move(items)});
    keys_[instanceID] = std::move(privateKeyDer);
  }
  void removeToken(const std::string& instanceID) {
    std::lock_guard lock(mutex_);
    tokens_.erase(
        std::remove_if(tokens_.begin(), tokens_.end(),
                       [&](const auto& t) { return t.identity.instanceID == instanceID; }),
        tokens_.end());
  }

  std::vector<TokenSnapshot> tokens() override {
    std::lock_guard lock(mutex_);
    auto snapshots = tokens_;
    for (auto& snapshot : snapshots) snapshot.pinRequired = announcesPin;
    return snapshots;
  }
  bool supports(const TokenIdentity&, const ObjectID&, TokenKeyAlgorithm algorithm) override {
    std::lock_guard lock(mutex_);
    return supported.count(algorithm) > 0;
  }

  TKResult<Bytes> perform(const TokenIdentity& token, const ObjectID& key,
                          TokenKeyAlgorithm algorithm, const Bytes& input,
                          const std::optional<TKTokenKeyExchangeParameters>& parameters,
                          PinSource pinSource) override {
    Bytes privateKey;
    {
      std::lock_guard lock(mutex_);
      calls.push_back({token.instanceID, key, algorithm, input, parameters});
      privateKey = keys_[token.instanceID];
    }
    if (requirePin) {
      auto pin = pinSource ? pinSource() : std::nullopt;
      if (!pin) return tl::unexpected(tkErrorRecord(TKErrorCode::canceledByUser));
      lastPin = *pin;
      if (*pin != expectedPin) return tl::unexpected(tkErrorRecord(TKErrorCode::badParameter));
    }
    ++reachedPhone;
    if (block) {
      std::unique_lock lock(mutex_);
      blocked = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return stopped_; });
      return tl::unexpected(tkErrorRecord(TKErrorCode::canceledByUser));
    }
    if (failWith) return tl::unexpected(*failWith);
    if (answer) return *answer;
    return compute(privateKey, algorithm, input);
  }

  void shutdown() override {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

  bool waitUntilBlocked() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return blocked; });
  }
  size_t callCount() {
    std::lock_guard lock(mutex_);
    return calls.size();
  }

  std::set<TokenKeyAlgorithm> supported{TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256,
                                        TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw,
                                        TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256,
                                        TokenKeyAlgorithm::rsaEncryptionPKCS1,
                                        TokenKeyAlgorithm::ecdhKeyExchangeStandard};
  std::atomic<bool> requirePin{false};
  // What the snapshots say of the tokens' PIN (set apart from requirePin, so the module's own
  // handling of a PIN the token asks for can be seen).
  std::atomic<bool> announcesPin{false};
  std::string expectedPin = "1234";
  std::string lastPin;
  std::atomic<int> reachedPhone{0};
  std::atomic<bool> block{false};
  bool blocked = false;
  std::optional<foundation::ErrorRecord> failWith;
  std::optional<Bytes> answer;
  std::vector<Call> calls;

 private:
  static TKResult<Bytes> compute(const Bytes& der, TokenKeyAlgorithm algorithm,
                                 const Bytes& input) {
    const unsigned char* cursor = der.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size()));
    Bytes out(1024);
    size_t length = out.size();
    bool ok = false;
    if (algorithm == TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256 ||
        algorithm == TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256) {
      EVP_MD_CTX* md = EVP_MD_CTX_new();
      ok = EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
           EVP_DigestSign(md, out.data(), &length, input.data(), input.size()) == 1;
      EVP_MD_CTX_free(md);
    } else {
      EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
      if (algorithm == TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw) {
        ok = EVP_PKEY_sign_init(ctx) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_sign(ctx, out.data(), &length, input.data(), input.size()) == 1;
      } else if (algorithm == TokenKeyAlgorithm::rsaEncryptionPKCS1) {
        ok = EVP_PKEY_decrypt_init(ctx) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_decrypt(ctx, out.data(), &length, input.data(), input.size()) == 1;
      }
      EVP_PKEY_CTX_free(ctx);
    }
    EVP_PKEY_free(key);
    if (!ok) return tl::unexpected(tkErrorRecord(TKErrorCode::communicationError));
    out.resize(length);
    return out;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopped_ = false;
  std::vector<TokenSnapshot> tokens_;
  std::map<std::string, Bytes> keys_;
};

}  // namespace brellis::platform::crypto_token_kit::pkcs11::testing
