#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>

#include "platform/crypto_token_kit/pkcs11/token_backend.h"
#include "platform/crypto_token_kit/token_service.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// The token plug-in's manifest the module's token service loads: the path in
// BRELLIS_TOKEN_MANIFEST when set, else <state root>/token/BrellisToken.plist (system place
// /usr/lib/brellis/BrellisToken.plist).
inline constexpr const char* kManifestEnvironmentVariable = "BRELLIS_TOKEN_MANIFEST";
std::filesystem::path tokenManifestPath();

// The token service of this process: loaded by the first module initialised in it and kept
// until the process ends. A token plug-in's own executors cannot be started again once it was
// unloaded, and hosts such as `p11-kit remote` initialise and finalise a module more than once
// in one process. Null when the plug-in cannot be loaded (tried again at the next call).
std::shared_ptr<TokenService> processTokenService();

// The backend of one initialised module over the process's token service: one service session
// per token instance, opened on first use and kept for the module's life (the service keeps a
// session usable after its instance was removed). Without a service the backend has no tokens.
//
// Whether a token asks for a PIN is the token plug-in's own setting, which its session reads once
// when it is made: "RequirePIN" of the application-group defaults "group.com.velkor.tarvo". The
// backend reads it when it opens the session and keeps it with the session; before that, afresh
// at each call.
inline constexpr const char* kPinSettingSuite = "group.com.velkor.tarvo";
inline constexpr const char* kPinSettingKey = "RequirePIN";
class ServiceTokenBackend : public TokenBackend {
 public:
  explicit ServiceTokenBackend(std::shared_ptr<TokenService> service);
  ~ServiceTokenBackend() override;

  std::vector<TokenSnapshot> tokens() override;
  bool supports(const TokenIdentity& token, const ObjectID& keyObjectID,
                TokenKeyAlgorithm algorithm) override;
  TKResult<foundation::Bytes> perform(const TokenIdentity& token, const ObjectID& keyObjectID,
                                      TokenKeyAlgorithm algorithm, const foundation::Bytes& input,
                                      const std::optional<TKTokenKeyExchangeParameters>& parameters,
                                      PinSource pinSource) override;
  void shutdown() override;

 private:
  struct OpenSession {
    std::shared_ptr<TokenServiceSession> session;
    bool pinRequired = false;
  };
  std::shared_ptr<TokenServiceSession> sessionFor(const TokenIdentity& token);
  bool pinRequired(const std::string& instanceID);

  std::shared_ptr<TokenService> service_;
  std::stop_source stop_;
  std::mutex mutex_;
  std::map<std::string, OpenSession> sessions_;
};

}  // namespace brellis::platform::crypto_token_kit::pkcs11
