#include "persistent_token/token_session.h"

#include <algorithm>

#include "connectivity/peer_defaults.h"
#include "persistent_token/pin_authentication.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"
#include "platform/foundation/main_bundle.h"

namespace brellis::persistent_token {

namespace {

using connectivity_protocol::AuthenticationResult;
using connectivity_protocol::AuthenticationUsage;
using platform::crypto_token_kit::KeyType;
using platform::crypto_token_kit::ObjectID;
using platform::crypto_token_kit::TKErrorCode;
using platform::crypto_token_kit::tkErrorRecord;
using platform::crypto_token_kit::TKResult;
using platform::crypto_token_kit::TKTokenKeyAlgorithm;
using platform::crypto_token_kit::TKTokenKeychainKey;
using platform::crypto_token_kit::TKTokenOperation;
using platform::foundation::Bytes;
namespace ctk = platform::crypto_token_kit;

constexpr const char* kCategory = "TokenSession";

constexpr const char* kBeginPINAuthentication = "Begin PIN authentication";
constexpr const char* kSigningData = "Signing data";
constexpr const char* kDecryptingData = "Decrypting data";
constexpr const char* kPerformingKeyExchange = "Performing key exchange";
constexpr const char* kKeyItemUndefined = "Key item undefined";
constexpr const char* kCannotSign = "Key can not be used for signing";
constexpr const char* kSigningECDSA = "Signing supported for ECDSA key";
constexpr const char* kSigningRSA = "Signing supported for RSA key";
constexpr const char* kCannotDecrypt = "Key can not be used for decryption";
constexpr const char* kDecryptionECDSAEnquiry = "Decryption support enquiry for ECDSA key";
constexpr const char* kDecryptionRSA = "Decryption supported for RSA key";
constexpr const char* kKeyExchangeNeedsUpdate =
    "Key exchange unavailable; please update version of Velkor Unlock";
constexpr const char* kCannotExchange = "Key can not be used for key exchange";
constexpr const char* kKeyExchangeECDSA = "Key exchange supported for ECDSA key";
constexpr const char* kPINNotRequired = "PIN is not required";
constexpr const char* kTriggeringPIN = "Triggering PIN authentication";
constexpr const char* kCertIDNotInt = "certID = keyObjectID could not be cast to Int";
constexpr const char* kReturningResult = "Returning authentication result data";
constexpr const char* kResultUndefined = "Authentication result undefined";
constexpr const char* kIncorrectPIN = "User entered incorrect PIN";
constexpr const char* kFailedLocalAuth = "User failed local authentication on their iOS device";
constexpr const char* kResultFailure = "Failure to return authentication result data";

// The phone's failures that have their own error code, recognised by their raw values.
constexpr const char* kIncorrectPINRawValue = "Incorrect PIN";
constexpr const char* kFailedLocalAuthRawValue = "Failed local auth";

constexpr int64_t kECKeySize = 256;

tl::unexpected<platform::foundation::ErrorRecord> failure(TKErrorCode code) {
  return tl::unexpected(tkErrorRecord(code));
}

void wipe(std::optional<std::string>& secret) {
  if (!secret) return;
  std::fill(secret->begin(), secret->end(), '\0');
  secret.reset();
}

}  // namespace

std::optional<group_defaults::GroupDefaults> TokenSession::openGroupDefaults() {
  return group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name);
}

TokenSession::TokenSession(std::shared_ptr<ctk::TKToken> token,
                           const AuthenticationRequesterFactory& makeRequester,
                           const GroupDefaultsOpener& openDefaults)
    : TKSmartCardTokenSession(std::move(token)),
      log_(platform::foundation::mainBundleIdentifier(), kCategory) {
  groupDefaults_ = openDefaults ? openDefaults() : std::nullopt;
  if (groupDefaults_) {
    pinRequired_ = groupDefaults_->boolean(group_defaults::GroupDefaults::Key::requirePIN);
    unlockEnabledForLogin_ =
        groupDefaults_->boolean(group_defaults::GroupDefaults::Key::enableUnlockForLogin);
  }
  containerPeer_ = connectivity::PeerDefaults::getPeer(kContainerPeerKey);
  driverPeer_ = connectivity::PeerDefaults::getPeer(kDriverPeerKey);
  if (containerPeer_ && driverPeer_ && makeRequester) {
    connectivityController_ = makeRequester(*containerPeer_, *driverPeer_);
  }
}

void TokenSession::setPin(std::string pin) {
  std::lock_guard lock(pinMutex_);
  wipe(pin_);
  pin_ = std::move(pin);
}

bool TokenSession::hasPin() const {
  std::lock_guard lock(pinMutex_);
  return pin_.has_value();
}

std::optional<std::string> TokenSession::takePin() {
  std::lock_guard lock(pinMutex_);
  std::optional<std::string> pin = std::move(pin_);
  pin_.reset();
  return pin;
}

TKResult<std::shared_ptr<ctk::TKTokenAuthOperation>> TokenSession::beginAuthForOperation(
    TKTokenOperation, const platform::foundation::PlistValue&) {
  log_.info(kBeginPINAuthentication);
  auto authentication = std::make_shared<PINAuthentication>();
  // The operation may outlive the session; a PIN entered after that goes nowhere.
  std::weak_ptr<TokenSession> weak = std::static_pointer_cast<TokenSession>(shared_from_this());
  authentication->setCompletion([weak](const std::string& pin) {
    if (auto session = weak.lock()) session->setPin(pin);
  });
  return authentication;
}

bool TokenSession::supportsOperation(TKTokenOperation operation, const ObjectID& keyObjectID,
                                     const TKTokenKeyAlgorithm& algorithm) {
  std::shared_ptr<TKTokenKeychainKey> key;
  if (auto contents = token() ? token()->keychainContents() : nullptr) {
    if (auto found = contents->keyForObjectID(keyObjectID)) key = *found;
  }
  if (!key && std::holds_alternative<std::string>(keyObjectID)) {
    if (auto configuration = token() ? token()->configuration() : std::nullopt) {
      for (const auto& item : configuration->keychainItems()) {
        const auto* id = std::get_if<std::string>(&item->objectID());
        if (!id || *id != std::get<std::string>(keyObjectID)) continue;
        key = std::dynamic_pointer_cast<TKTokenKeychainKey>(item);
        break;
      }
    }
  }
  if (!key) {
    log_.info(kKeyItemUndefined);
    return false;
  }

  switch (operation) {
    case TKTokenOperation::signData:
      if (!key->canSign()) {
        log_.info(kCannotSign);
        return false;
      }
      if (key->keyType() == KeyType::ecSECPrimeRandom && key->keySizeInBits() == kECKeySize &&
          algorithm.isAlgorithm(ctk::kSecKeyAlgorithmECDSASignatureMessageX962SHA256)) {
        log_.info(kSigningECDSA);
        return true;
      }
      if (key->keyType() == KeyType::rsa &&
          algorithm.isAlgorithm(ctk::kSecKeyAlgorithmRSASignatureRaw) &&
          algorithm.supportsAlgorithm(ctk::kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw)) {
        log_.info(kSigningRSA);
        return true;
      }
      return false;
    case TKTokenOperation::decryptData:
      if (!key->canDecrypt()) {
        log_.info(kCannotDecrypt);
        return false;
      }
      if (key->keyType() == KeyType::ecSECPrimeRandom) {
        log_.info(kDecryptionECDSAEnquiry);
        return false;
      }
      if (key->keyType() == KeyType::rsa &&
          algorithm.isAlgorithm(ctk::kSecKeyAlgorithmRSAEncryptionRaw)) {
        log_.info(kDecryptionRSA);
        return true;
      }
      return false;
    case TKTokenOperation::performKeyExchange: {
      // The phone's version is read afresh at every enquiry: it changes with each answer.
      int64_t version =
          groupDefaults_
              ? groupDefaults_->integer(group_defaults::GroupDefaults::Key::unlockVersion)
              : 0;
      if (!groupDefaults_ || version < connectivity_protocol::rawValue(
                                           connectivity_protocol::UnlockVersion::unlock_1_2_0)) {
        log_.info(kKeyExchangeNeedsUpdate);
        return false;
      }
      if (!unlockEnabledForLogin_) return false;
      if (!key->canPerformKeyExchange()) {
        log_.info(kCannotExchange);
        return false;
      }
      if (key->keyType() == KeyType::ecSECPrimeRandom && key->keySizeInBits() == kECKeySize &&
          algorithm.isAlgorithm(ctk::kSecKeyAlgorithmECDHKeyExchangeStandard)) {
        log_.info(kKeyExchangeECDSA);
        return true;
      }
      return false;
    }
    default:
      return false;
  }
}

TKResult<Bytes> TokenSession::signData(const Bytes& dataToSign, const ObjectID& keyObjectID,
                                       const TKTokenKeyAlgorithm&) {
  log_.info(kSigningData);
  return performAuthenticatedOperation(AuthenticationUsage::sign, dataToSign, keyObjectID,
                                       std::nullopt);
}

TKResult<Bytes> TokenSession::decryptData(const Bytes& ciphertext, const ObjectID& keyObjectID,
                                          const TKTokenKeyAlgorithm&) {
  log_.info(kDecryptingData);
  return performAuthenticatedOperation(AuthenticationUsage::decrypt, ciphertext, keyObjectID,
                                       std::nullopt);
}

TKResult<Bytes> TokenSession::performKeyExchangeWithPublicKey(
    const Bytes& otherPartyPublicKeyData, const ObjectID& objectID, const TKTokenKeyAlgorithm&,
    const ctk::TKTokenKeyExchangeParameters& parameters) {
  log_.info(kPerformingKeyExchange);
  return performAuthenticatedOperation(AuthenticationUsage::keyExchange, otherPartyPublicKeyData,
                                       objectID, parameters);
}

TKResult<Bytes> TokenSession::performAuthenticatedOperation(
    AuthenticationUsage usage, const Bytes& data, const ObjectID& keyObjectID,
    const std::optional<ctk::TKTokenKeyExchangeParameters>& parameters) {
  // The PIN is taken (and so cleared) before anything can fail: whatever the outcome, no PIN
  // survives the operation, and a PIN entered meanwhile on another thread is never lost to it.
  std::optional<std::string> pin = takePin();
  if (!pinRequired_) {
    log_.info(kPINNotRequired);
  } else if (!pin) {
    log_.info(kTriggeringPIN);
    return failure(TKErrorCode::authenticationNeeded);
  }

  const auto* certID = std::get_if<int64_t>(&keyObjectID);
  if (!certID) {
    log_.error(kCertIDNotInt);
    wipe(pin);
    return failure(TKErrorCode::badParameter);
  }

  std::optional<AuthenticationResult> result;
  if (connectivityController_) {
    connectivityController_->requestAuthentication(
        usage, data, *certID, pin, parameters,
        [&result](AuthenticationResult delivered) { result = std::move(delivered); });
  }
  wipe(pin);

  if (!result) {
    log_.error(kResultUndefined);
    return failure(TKErrorCode::communicationError);
  }
  if (*result) {
    log_.info(kReturningResult);
    return std::move(**result);
  }
  std::string_view raw = result->error().rawValue();
  if (raw == kIncorrectPINRawValue) {
    log_.info(kIncorrectPIN);
    return failure(TKErrorCode::badParameter);
  }
  if (raw == kFailedLocalAuthRawValue) {
    log_.info(kFailedLocalAuth);
    return failure(TKErrorCode::authenticationFailed);
  }
  log_.error(kResultFailure);
  return failure(TKErrorCode::communicationError);
}

}  // namespace brellis::persistent_token
