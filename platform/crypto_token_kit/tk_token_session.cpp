#include "platform/crypto_token_kit/tk_token_session.h"

#include "platform/crypto_token_kit/tk_error.h"

namespace brellis::platform::crypto_token_kit {

namespace {
tl::unexpected<foundation::ErrorRecord> notImplemented() {
  return tl::unexpected(tkErrorRecord(TKErrorCode::notImplemented));
}
}  // namespace

TKResult<std::shared_ptr<TKTokenAuthOperation>> TKTokenSession::beginAuthForOperation(
    TKTokenOperation, const foundation::PlistValue&) {
  return notImplemented();
}

bool TKTokenSession::supportsOperation(TKTokenOperation, const ObjectID&,
                                       const TKTokenKeyAlgorithm&) {
  return false;
}

TKResult<foundation::Bytes> TKTokenSession::signData(const foundation::Bytes&, const ObjectID&,
                                                     const TKTokenKeyAlgorithm&) {
  return notImplemented();
}

TKResult<foundation::Bytes> TKTokenSession::decryptData(const foundation::Bytes&, const ObjectID&,
                                                        const TKTokenKeyAlgorithm&) {
  return notImplemented();
}

TKResult<foundation::Bytes> TKTokenSession::performKeyExchangeWithPublicKey(
    const foundation::Bytes&, const ObjectID&, const TKTokenKeyAlgorithm&,
    const TKTokenKeyExchangeParameters&) {
  return notImplemented();
}

std::shared_ptr<TKSmartCard> TKSmartCardTokenSession::smartCard() const {
  auto token = std::dynamic_pointer_cast<TKSmartCardToken>(this->token());
  return token ? token->smartCard() : nullptr;
}

}  // namespace brellis::platform::crypto_token_kit
