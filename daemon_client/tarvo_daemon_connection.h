#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon_client/daemon_actor.h"
#include "daemon_client/daemon_values.h"
#include "daemon_client/tarvo_daemon_connection_error.h"
#include "daemon_client/tarvo_daemon_interface.h"
#include "ipc/any_connection.h"
#include "ipc/code_signing_requirement.h"
#include "ipc/connection_delegate.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/task.h"
#include "platform/os_log/logger.h"
#include "platform/xpc/value.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::daemon_client {

// How the operations reach the daemon: sends one selector with its wire arguments and returns
// the reply block's values, or raises the XPC layer's error. In production this is the XPC
// Connection to the daemon's service; tests may put a scripted channel in its place.
class DaemonChannel {
 public:
  virtual ~DaemonChannel() = default;
  virtual asio::awaitable<std::vector<platform::xpc::Value>> send(
      std::string function, std::string selector, std::vector<platform::xpc::Value> arguments) = 0;
};

// The one client, per process, of the maker's privileged daemon. Every operation moves itself
// onto DaemonActor, logs its entry, sends its selector and handles the reply by the reply shape
// of its row in the operation table (tarvo_daemon_interface.h); an error from the daemon is
// raised unchanged, a reply without the expected values raises Error::unknown. No operation has a
// time-out of its own: one whose reply never comes ends when the XPC layer reports the
// connection lost.
//
// After every loss of the connection the last endpoint given to registerBrellisListenerEndpoint
// is registered again, after 1 s, retrying failures after 2, 4, 8, 16, 32, 64, 60, 60, ... s.
class TarvoDaemonConnection : public ipc::ConnectionDelegate,
                              public std::enable_shared_from_this<TarvoDaemonConnection> {
 public:
  using Error = TarvoDaemonConnectionError;

  struct Options {
    std::string machServiceName = std::string(tarvoDaemonMachServiceName);
    uint64_t options = platform::xpc::kConnectionPrivileged;
    // The requirement the daemon's code must satisfy; null: the production requirement for
    // BundleInfo("com.velkor.tarvo.daemon", "0.0.0").
    std::shared_ptr<ipc::CodeSigningRequirement> requirement;
    std::shared_ptr<platform::dispatch::Clock> clock = platform::dispatch::Clock::system();
  };

  // The process-wide instance, created on first use in each process (thread-safe) and never
  // destroyed.
  static TarvoDaemonConnection& shared();
  // An instance over the XPC connection that `options` describe (tests, other service names).
  static std::shared_ptr<TarvoDaemonConnection> make(Options options);
  // An instance over any channel (tests).
  static std::shared_ptr<TarvoDaemonConnection> makeWithChannel(
      std::shared_ptr<DaemonChannel> channel,
      std::shared_ptr<platform::dispatch::Clock> clock = platform::dispatch::Clock::system());

  ~TarvoDaemonConnection() override;

  // The ConnectionDelegate callback: schedules the re-registration of the stored endpoint.
  asio::awaitable<void> connection(std::shared_ptr<ipc::AnyConnection> connection,
                                   std::exception_ptr didInvalidate) override;

  // The last endpoint handed to registerBrellisListenerEndpoint (read on DaemonActor).
  asio::awaitable<std::optional<Endpoint>> listenerEndpoint();

  // publicKeyData(forAccount:)
  asio::awaitable<Bytes> publicKeyData(std::string forAccount);
  // setExternalPublicKey(_:forAccount:)
  asio::awaitable<void> setExternalPublicKey(Bytes key, std::string forAccount);
  // sharedSecret(forAccount:)
  asio::awaitable<Bytes> sharedSecret(std::string forAccount);
  // makeEphemeralSecret(forAccount:)
  asio::awaitable<EphemeralSecret> makeEphemeralSecret(std::string forAccount);
  // setLoginPairingIdentifier(_:forAccount:)
  asio::awaitable<void> setLoginPairingIdentifier(std::string identifier, std::string forAccount);
  // loginPairingIdentifier(forAccount:)
  asio::awaitable<std::string> loginPairingIdentifier(std::string forAccount);
  // setExternalPairingIdentifier(_:forAccount:)
  asio::awaitable<void> setExternalPairingIdentifier(std::string identifier,
                                                     std::string forAccount);
  // externalPairingIdentifier(forAccount:)
  asio::awaitable<std::string> externalPairingIdentifier(std::string forAccount);
  // setExternalPairingSaltData(_:forAccount:)
  asio::awaitable<void> setExternalPairingSaltData(Bytes salt, std::string forAccount);
  // externalPairingSaltData(forAccount:)
  asio::awaitable<Bytes> externalPairingSaltData(std::string forAccount);
  // setMode(_:forAccount:)
  asio::awaitable<void> setMode(std::string mode, std::string forAccount);
  // mode(forAccount:)
  asio::awaitable<std::string> mode(std::string forAccount);
  // setEncryptedPasswordData(_:forAccount:)
  asio::awaitable<void> setEncryptedPasswordData(Bytes data, std::string forAccount);
  // encryptedPasswordData(forAccount:)
  asio::awaitable<Bytes> encryptedPasswordData(std::string forAccount);
  // setEmphemeralPublicKeyData(_:forAccount:)
  asio::awaitable<void> setEmphemeralPublicKeyData(Bytes key, std::string forAccount);
  // emphemeralPublicKeyData(forAccount:)
  asio::awaitable<Bytes> emphemeralPublicKeyData(std::string forAccount);
  // unpair(forAccount:)
  asio::awaitable<void> unpair(std::string forAccount);
  // smartCardPair(username:certHash:)
  asio::awaitable<void> smartCardPair(std::string username, std::string certHash);
  // smartCardUnpair(username:certHash:)
  asio::awaitable<void> smartCardUnpair(std::string username, std::string certHash);
  // unlockData(forAccount:)
  asio::awaitable<Bytes> unlockData(std::string forAccount);
  // setUnlockData(_:forAccount:)
  asio::awaitable<void> setUnlockData(Bytes data, std::string forAccount);
  // unlockStatus(forAccount:)
  asio::awaitable<Bytes> unlockStatus(std::string forAccount);
  // setUnlockStatus(_:forAccount:)
  asio::awaitable<void> setUnlockStatus(Bytes status, std::string forAccount);
  // unlockData()
  asio::awaitable<Bytes> unlockData();
  // unlockStatus()
  asio::awaitable<Bytes> unlockStatus();
  // setUnlockStatus(_:)
  asio::awaitable<void> setUnlockStatus(Bytes status);
  // registerBrellisListenerEndpoint(_:)
  asio::awaitable<void> registerBrellisListenerEndpoint(Endpoint endpoint);
  // brellisListenerEndpoint()
  asio::awaitable<Endpoint> brellisListenerEndpoint();
  // TOTPPairingInfo(for:)
  asio::awaitable<TOTPPairingInformation> TOTPPairingInfo(std::string for_);
  // setTOTPPairingInfo(secret:backupCode:for:)
  asio::awaitable<void> setTOTPPairingInfo(Bytes secret, std::string backupCode, std::string for_);
  // deleteTOTPPairingInfo(for:)
  asio::awaitable<void> deleteTOTPPairingInfo(std::string for_);
  // incrementUnsentOfflineMFAEvents(user:)
  asio::awaitable<void> incrementUnsentOfflineMFAEvents(std::string user);
  // grantAdminPrivilegesToUserForTime(for:with:reason:): `with` is the duration, a time
  // interval in seconds (sent unchanged, zero and negative included).
  asio::awaitable<void> grantAdminPrivilegesToUserForTime(std::string for_, double durationSeconds,
                                                          std::optional<std::string> reason);
  // revokeAdminPrivileges(username:)
  asio::awaitable<void> revokeAdminPrivileges(std::string username);
  // userElevationTimeRemaining(for:)
  asio::awaitable<std::optional<Number>> userElevationTimeRemaining(std::string for_);
  // monthlyUserElevationCount(for:)
  asio::awaitable<std::optional<Number>> monthlyUserElevationCount(std::string for_);
  // desktopPicture(displayUUIDString:userName:)
  asio::awaitable<DesktopPicture> desktopPicture(std::string displayUUIDString,
                                                 std::string userName);
  // desktopAsset(displayUUIDString:userName:)
  asio::awaitable<DesktopAsset> desktopAsset(std::string displayUUIDString, std::string userName);
  // version()
  asio::awaitable<std::string> version();
  // data(forAccount:key:)
  asio::awaitable<Bytes> data(std::string forAccount, std::string key);
  // setData(_:forAccount:key:)
  asio::awaitable<void> setData(Bytes data, std::string forAccount, std::string key);
  // identities(issuers:password:)
  asio::awaitable<std::vector<Bytes>> identities(std::vector<Bytes> issuers, std::string password);
  // logEntries(for:startDate:)
  asio::awaitable<StringListsDictionary> logEntries(std::vector<std::string> for_, Date startDate);
  // getDeliverablesInformation()
  asio::awaitable<std::string> getDeliverablesInformation();
  // getUserElevationReasonsLog()
  asio::awaitable<std::string> getUserElevationReasonsLog();

 private:
  TarvoDaemonConnection(std::shared_ptr<DaemonChannel> channel,
                        std::shared_ptr<platform::dispatch::Clock> clock);

  template <class R>
  asio::awaitable<R> perform(Operation operation, std::vector<platform::xpc::Value> arguments);
  template <class R>
  asio::awaitable<R> performOnActor(Operation operation,
                                    std::vector<platform::xpc::Value> arguments);

  // On DaemonActor.
  void scheduleListenerEndpointRegistration(uint64_t afterSeconds);
  static asio::awaitable<void> registerListenerEndpoint(std::weak_ptr<TarvoDaemonConnection> self,
                                                        Endpoint endpoint, uint64_t delaySeconds);
  asio::awaitable<void> didInvalidateOnActor();
  asio::awaitable<std::optional<Endpoint>> readListenerEndpoint();

  std::shared_ptr<DaemonChannel> channel_;
  std::shared_ptr<platform::dispatch::Clock> clock_;
  DaemonActor& actor_;

  // Fields below are read and written only on DaemonActor.
  std::optional<Endpoint> listenerEndpoint_;
  platform::dispatch::TaskHandle registerListenerEndpointTask_;
  // A failed registration and the loss of the connection that it caused are reported twice,
  // by the failing call and by the delegate callback, in either order. These keep the second
  // report from resetting the doubled delay to 1 s.
  int registrationsInFlight_ = 0;
  bool invalidatedDuringRegistration_ = false;
  bool absorbNextInvalidation_ = false;
};

// The logger of the connection's type: subsystem "TarvoDaemonXPC", category
// "TarvoDaemonConnection".
platform::os_log::Logger tarvoDaemonConnectionLogger();

}  // namespace brellis::daemon_client
