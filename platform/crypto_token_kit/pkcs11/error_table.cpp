#include "platform/crypto_token_kit/pkcs11/error_table.h"

#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/token_service.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

CK_RV returnValueForError(const foundation::ErrorRecord& error, TKTokenOperation operation,
                          PinUse pin) {
  if (error.domain == kTokenServiceErrorDomain) {
    switch (static_cast<TokenServiceErrorCode>(error.code)) {
      case TokenServiceErrorCode::timedOut:
        return CKR_FUNCTION_FAILED;
      case TokenServiceErrorCode::operationNotSupported:
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
      case TokenServiceErrorCode::invalidInput:
        if (operation == TKTokenOperation::decryptData) return CKR_ENCRYPTED_DATA_INVALID;
        if (operation == TKTokenOperation::performKeyExchange) return CKR_MECHANISM_PARAM_INVALID;
        return CKR_DATA_LEN_RANGE;
      case TokenServiceErrorCode::pluginUnavailable:
      default:
        return CKR_DEVICE_ERROR;
    }
  }
  if (error.domain != kTKErrorDomain) return CKR_FUNCTION_FAILED;
  switch (static_cast<TKErrorCode>(error.code)) {
    case TKErrorCode::authenticationNeeded:
      return CKR_USER_NOT_LOGGED_IN;
    case TKErrorCode::canceledByUser:
      // The PIN protocol ends canceled when the module had no PIN to give.
      return pin.requested && !pin.given ? CKR_USER_NOT_LOGGED_IN : CKR_FUNCTION_CANCELED;
    case TKErrorCode::badParameter:
      // The token reports a PIN the phone refused as a bad parameter.
      return pin.given ? CKR_PIN_INCORRECT : CKR_FUNCTION_FAILED;
    case TKErrorCode::authenticationFailed:
      return CKR_FUNCTION_REJECTED;
    case TKErrorCode::communicationError:
      return CKR_DEVICE_ERROR;
    case TKErrorCode::corruptedData:
      return operation == TKTokenOperation::decryptData ? CKR_ENCRYPTED_DATA_INVALID
                                                        : CKR_DEVICE_ERROR;
    case TKErrorCode::objectNotFound:
      return CKR_KEY_HANDLE_INVALID;
    case TKErrorCode::tokenNotFound:
      return CKR_DEVICE_REMOVED;
    case TKErrorCode::notImplemented:
    default:
      return CKR_FUNCTION_FAILED;
  }
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
