#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/crypto_token_kit/object_id.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_result.h"
#include "platform/crypto_token_kit/tk_token_configuration.h"
#include "platform/crypto_token_kit/tk_token_key_algorithm.h"
#include "platform/crypto_token_kit/tk_token_key_exchange_parameters.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"

namespace brellis::platform::crypto_token_kit {

// The token service: what the operating system does for a token plug-in. It reads the
// plug-in's manifest, loads the plug-in, keeps its one driver, makes a token per configured
// instance of the plug-in's token class (with the instance's configuration and keychain
// contents), opens sessions, and performs key operations the way the system does: it builds the
// algorithm chain and the input, asks the session whether the key supports the operation, runs
// the operation, and answers an "authentication needed" (-9) with the PIN protocol (begin
// authentication, PIN from the caller, finishWithError, one retry).
//
// Errors are records: TKErrorDomain with the token's code (-1 not implemented, -2 communication,
// -3 corrupted data, -4 cancelled, -5 authentication failed, -6 object not found, -7 token not
// found, -8 bad parameter, -9 authentication needed), or kTokenServiceErrorDomain for what the
// service itself refuses (TokenServiceErrorCode).

// Manifest: a property list (XML or binary) beside the plug-in, as a token extension's
// information list would be.
inline constexpr const char* kTokenPluginExecutableKey = "CFBundleExecutable";  // file name
inline constexpr const char* kTokenPluginIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kTokenPluginPrincipalClassKey = "PrincipalClass";
inline constexpr const char* kTokenPluginClassIDKey = "TokenClassID";
inline constexpr const char* kTokenPluginFactorySymbolKey = "FactorySymbol";

inline constexpr const char* kTokenServiceErrorDomain = "BrellisTokenService";
enum class TokenServiceErrorCode : int64_t {
  timedOut = 1,           // the operation's limit ended before the token answered
  operationNotSupported,  // the session answered false to supportsOperation
  invalidInput,           // the input does not fit the algorithm or the key
  pluginUnavailable,      // no manifest, no library, no symbol, no driver, or unloaded
};
foundation::ErrorRecord tokenServiceError(TokenServiceErrorCode code);
bool isTokenServiceError(const foundation::ErrorRecord& record, TokenServiceErrorCode code);

// What a caller asks a key to do. The service turns it into the algorithm chain and the input
// the token receives:
//   ecdsaSignatureMessageX962SHA256   chain [message-X962:SHA256]; input: the whole message
//   ecdsaSignatureDigestX962SHA256    chain [digest-X962:SHA256, digest-X962]; input: digest
//   rsaSignatureMessagePKCS1v15SHA256 the message is hashed with SHA-256 by the service, then
//                                     as rsaSignatureDigestPKCS1v15SHA256
//   rsaSignatureDigestPKCS1v15SHA256  chain [digest-PKCS1v15:SHA256, digest-PKCS1v15, raw];
//                                     input: the EMSA-PKCS1-v1_5 block of the 32-byte digest
//   rsaSignatureDigestPKCS1v15Raw     chain [digest-PKCS1v15, raw]; input: the EMSA block of a
//                                     caller's DigestInfo
//   rsaSignatureRaw                   chain [raw]; input: a block of the modulus size
//   rsaEncryptionPKCS1 (decrypt)      chain [PKCS1, raw]; input: the ciphertext; the service
//                                     removes the PKCS#1 v1.5 padding from the token's result
//   rsaEncryptionRaw (decrypt)        chain [raw]; result as the token gives it
//   ecdhKeyExchangeStandard           chain [ECDH]; input: the other party's 04 ‖ X ‖ Y;
//                                     result: the raw shared secret
enum class TokenKeyAlgorithm {
  ecdsaSignatureMessageX962SHA256,
  ecdsaSignatureDigestX962SHA256,
  rsaSignatureMessagePKCS1v15SHA256,
  rsaSignatureDigestPKCS1v15SHA256,
  rsaSignatureDigestPKCS1v15Raw,
  rsaSignatureRaw,
  rsaEncryptionPKCS1,
  rsaEncryptionRaw,
  ecdhKeyExchangeStandard,
};
// The operation an algorithm belongs to (sign, decrypt or key exchange).
TKTokenOperation operationForAlgorithm(TokenKeyAlgorithm algorithm);
// The chain the service hands the token for that algorithm.
TKTokenKeyAlgorithm algorithmChain(TokenKeyAlgorithm algorithm);

inline constexpr size_t kSHA256DigestSize = 32;

// The input the token receives for an RSA algorithm with a modulus of `modulusSize` bytes, built
// as the system builds it (the EMSA-PKCS1-v1_5 block for the PKCS#1 signatures, the input itself
// for raw signing and decryption). Absent for any other algorithm, or when the input does not
// fit (a digest of the wrong size, a block or ciphertext not of the modulus size, a DigestInfo
// too long for the modulus).
std::optional<foundation::Bytes> rsaTokenInput(TokenKeyAlgorithm algorithm,
                                               const foundation::Bytes& input, size_t modulusSize);
// Removes the PKCS#1 v1.5 encryption padding (00 02 PS 00 M, PS at least 8 non-zero bytes) from
// a raw RSA decryption of a modulus of `modulusSize` bytes; the token may leave out leading zero
// bytes. Absent when the block is not so padded.
std::optional<foundation::Bytes> removePKCS1v15EncryptionPadding(const foundation::Bytes& raw,
                                                                 size_t modulusSize);

// One configured token instance of the plug-in's class, as read from the store at the call.
struct TokenInstance {
  std::string classID;
  std::string instanceID;
  TKTokenConfiguration configuration;
  // Copies (labels, object IDs, key types and capabilities, certificate bytes).
  TKTokenKeychainItems keychainItems;
};

// What the service tells a PIN provider about the authentication the token asked for.
struct PINRequest {
  std::string instanceID;
  TKTokenOperation operation = TKTokenOperation::none;
  ObjectID keyObjectID;
};
// Returns the PIN, or absent when the user cancelled (the operation then fails with -4).
// Called on one of the service's worker threads.
using PINProvider = std::function<std::optional<std::string>(const PINRequest&)>;

// How one operation is run.
struct TokenOperationOptions {
  // Used for the PIN protocol when the token asks for authentication (at most once); the
  // service's copy is wiped when the operation ends. With neither `pin` nor `pinProvider`, a
  // request for authentication ends the operation with -9.
  std::optional<std::string> pin;
  PINProvider pinProvider;
  // The operation's limit; never below kMinimumOperationLimit (a shorter value is raised),
  // absent: the service's default. When it ends: kTokenServiceErrorDomain timedOut.
  std::optional<std::chrono::milliseconds> limit;
  // A stop request ends the wait at once with TKErrorDomain -4.
  std::stop_token stopToken;
};

class TokenService;

// A session with one token instance (what a client of the system holds between open and
// close). Operations may be called from several threads at once; each runs on a worker of the
// service and blocks its caller until the result, its limit or a stop request. The session
// stays usable after its instance was removed: operations then fail with -7.
class TokenServiceSession {
 public:
  virtual ~TokenServiceSession() = default;

  virtual const std::string& instanceID() const = 0;

  // tokenSession:supportsOperation:usingKey:algorithm: as asked by the system, with a chain of
  // the caller's own. False when the instance is gone or the service unloaded.
  virtual bool supportsOperation(TKTokenOperation operation, const ObjectID& keyObjectID,
                                 const TKTokenKeyAlgorithm& algorithm) = 0;
  // The same enquiry with the chain the service builds for `algorithm`.
  virtual bool supports(TokenKeyAlgorithm algorithm, const ObjectID& keyObjectID) = 0;

  // Signs `input` (a message or a digest, as the algorithm says); the signature as the token
  // gives it (ECDSA: DER; RSA: the modulus-sized block).
  virtual TKResult<foundation::Bytes> sign(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm,
                                           const foundation::Bytes& input,
                                           const TokenOperationOptions& options = {}) = 0;
  // Decrypts `ciphertext` with an RSA encryption algorithm.
  virtual TKResult<foundation::Bytes> decrypt(const ObjectID& keyObjectID,
                                              TokenKeyAlgorithm algorithm,
                                              const foundation::Bytes& ciphertext,
                                              const TokenOperationOptions& options = {}) = 0;
  // ECDH with the other party's uncompressed point 04 ‖ X ‖ Y; the raw shared secret.
  virtual TKResult<foundation::Bytes> keyExchange(const ObjectID& keyObjectID,
                                                  const foundation::Bytes& otherPartyPublicKey,
                                                  const TKTokenKeyExchangeParameters& parameters,
                                                  const TokenOperationOptions& options = {}) = 0;
};

class TokenService {
 public:
  static constexpr std::chrono::milliseconds kMinimumOperationLimit{60000};

  struct Options {
    // Default limit of every operation (raised to kMinimumOperationLimit when below).
    std::chrono::milliseconds operationLimit = kMinimumOperationLimit;
    // Threads that run operations (at least one).
    size_t workerCount = 4;
    // How often the store is looked at for configuration changes.
    std::chrono::milliseconds watchInterval{200};
    // For tests only: allows a limit below kMinimumOperationLimit (the limit of every
    // operation is then this one).
    std::optional<std::chrono::milliseconds> operationLimitForTesting;
    // Handed to the plug-in when its driver is made (empty: the plug-in's defaults).
    foundation::PlistDict pluginSettings;
  };

  // Reads the manifest at `manifestPath`, registers the plug-in's token class in the
  // driver-configuration store, loads the library named by the manifest (beside it) and makes
  // the driver of its principal class. Errors: kTokenServiceErrorDomain pluginUnavailable with
  // the reason in NSDebugDescription.
  static TKResult<std::unique_ptr<TokenService>> load(const std::filesystem::path& manifestPath,
                                                      Options options);
  static TKResult<std::unique_ptr<TokenService>> load(const std::filesystem::path& manifestPath) {
    return load(manifestPath, Options{});
  }

  virtual ~TokenService() = default;

  // The plug-in's token class ("TokenClassID" of the manifest) and principal class.
  virtual const std::string& classID() const = 0;
  virtual const std::string& principalClass() const = 0;

  // The configured instances of the class, read afresh from the store (nothing cached), sorted
  // by instance identifier.
  virtual std::vector<TokenInstance> tokenInstances() const = 0;

  // `observer` runs on the service's watcher thread after the class's configuration changed
  // (an instance added or removed, keychain items changed), at most once per change seen.
  // Tokens of removed instances are dropped and the keychain contents of the others refilled
  // before observers run. Returns a handle for removeConfigurationObserver.
  virtual uint64_t addConfigurationObserver(std::function<void()> observer) = 0;
  virtual void removeConfigurationObserver(uint64_t handle) = 0;

  // Opens a session with the instance: the token is made by the driver when the instance has
  // none yet (one token per instance), then asked for a session. -7 when the instance is not
  // configured; the driver's or token's own error otherwise.
  virtual TKResult<std::shared_ptr<TokenServiceSession>> openSession(
      const std::string& instanceID) = 0;

  // Offers a physical smart card to the driver (tokenDriver:createTokenForSmartCard:AID:error:);
  // the driver's error, or success when it made a token (which is then dropped).
  virtual TKResult<void> offerSmartCard(const std::string& slotName) = 0;

  // Releases sessions, tokens and the driver, lets the plug-in finish its background work and
  // unloads the library. Operations still running are waited for (each is bounded by the
  // token's own limit); callers waiting on them are answered first with pluginUnavailable.
  // Idempotent; the destructor calls it. Must not be called from an observer or a PIN provider.
  virtual void unload() = 0;
};

}  // namespace brellis::platform::crypto_token_kit
