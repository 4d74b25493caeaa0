#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"
#include "platform/dispatch/serial_queue.h"
#include "token_host/driver_domain.h"
#include "token_host/token_host_protocol.h"

namespace brellis::token_host {

// A prepared installation (kept for the shape of the wrapper; nothing makes one).
struct AddTokenData {
  std::shared_ptr<const platform::crypto_token_kit::SecCertificate> secCertificate;
  std::shared_ptr<platform::crypto_token_kit::TKTokenKeychainKey> keychainKey;
  std::shared_ptr<platform::crypto_token_kit::TKTokenKeychainCertificate> keychainCert;
  std::string certificateHash;
};

// Installs the "UnlockToken" configuration of one driver class, replacing it only when its items
// changed. Synchronous; callable from any thread (the driver configuration is looked up once,
// under a once-flag).
class TokenHostWrapper : public TokenHostProtocol {
 public:
  explicit TokenHostWrapper(DriverDomain driverDomain);

  DriverDomain driverDomain() const { return driverDomain_; }

  // The configuration of the class named by the driver domain; looked up on first use and kept,
  // also when absent (later registrations are not seen by this wrapper).
  std::optional<platform::crypto_token_kit::TKTokenDriverConfiguration> driverConfiguration()
      override;
  // Raises TokenHostError: noDriverConfiguration when the class has no configuration,
  // noKeychainItems when the certificate gives no items. When the existing "UnlockToken" items
  // match the new ones nothing is written.
  void addTokenData(const platform::foundation::Bytes& certificate) override;

 private:
  DriverDomain driverDomain_;
  platform::dispatch::SerialQueue addTokenDataQueue_;
  std::optional<AddTokenData> addTokenData_;
  std::once_flag driverConfigurationOnce_;
  std::optional<platform::crypto_token_kit::TKTokenDriverConfiguration> driverConfiguration_;
};

// True when every existing item, in order, has a counterpart among the new items (a key item
// with equal public key data, both absent counting as equal; a certificate item with equal
// data). One way only: no existing items match any new list.
bool keychainItemsMatch(const platform::crypto_token_kit::TKTokenKeychainItems& existing,
                        const platform::crypto_token_kit::TKTokenKeychainItems& items);

}  // namespace brellis::token_host
