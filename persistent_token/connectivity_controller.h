#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "beacon/beacon_data.h"
#include "beacon/velkor_beacon.h"
#include "connectivity/peer_manager.h"
#include "connectivity/peer_session.h"
#include "connectivity_protocol/authentication_request.h"
#include "connectivity_protocol/authentication_response.h"
#include "connectivity_protocol/authentication_usage.h"
#include "platform/core_bluetooth/radio_backend.h"
#include "platform/crypto_token_kit/tk_token_key_exchange_parameters.h"
#include "platform/foundation/plist_value.h"
#include "platform/multipeer/link_options.h"
#include "platform/multipeer/peer_id.h"
#include "platform/multipeer/session.h"
#include "platform/os_log/logger.h"

namespace brellis::persistent_token {

// The durations and outside parties of a controller. The defaults are the product's; tests
// shorten the durations and give a simulated radio.
struct ConnectivityControllerOptions {
  // Limit of one request's wait for the phone.
  std::chrono::nanoseconds authTimeout{std::chrono::seconds(30)};
  // Delay between a request's start and its beacon run.
  std::chrono::nanoseconds beaconDelay{std::chrono::seconds(1)};
  // Seconds of one beacon run.
  double beaconInterval = 30.0;
  // Timings of the browser made for each request.
  platform::multipeer::LinkOptions linkOptions{};
  // Radio of the beacons (empty: the system radio).
  std::shared_ptr<platform::core_bluetooth::RadioBackend> radio{};
  // Makes the session of each request (empty: PeerManager::makeSession).
  std::function<std::shared_ptr<connectivity::PeerSession>(const platform::multipeer::PeerID&)>
      makeSession{};
};

// Carries one authentication request of the token session to the paired phone and brings its
// answer back: a link session for the driver peer and browsing for the phone, a wake-up beacon
// for the container peer's UUID, the sealed request sent when the phone connects, the sealed
// answer opened, decoded and matched by its tag.
//
// Callers are served one at a time; an outcome is accepted only for the request in flight and
// only once. The link reports on its session queue; sealing, opening and the beacon run happen
// in detached tasks on the global pool, each holding the controller. No lock is held while the
// controller calls out. Made only as a shared object (create()).
class ConnectivityController : public platform::multipeer::SessionDelegate,
                               public connectivity::PeerSessionDelegate,
                               public std::enable_shared_from_this<ConnectivityController> {
 public:
  using Completion = std::function<void(connectivity_protocol::AuthenticationResult)>;

  // `containerPeer`: the phone side; its display name is the beacon's UUID (not kept).
  // `driverPeer`: the local peer; every session is made for it.
  static std::shared_ptr<ConnectivityController> create(platform::multipeer::PeerID containerPeer,
                                                        platform::multipeer::PeerID driverPeer,
                                                        ConnectivityControllerOptions options = {});
  ~ConnectivityController() override;
  ConnectivityController(const ConnectivityController&) = delete;
  ConnectivityController& operator=(const ConnectivityController&) = delete;

  // Synchronous: blocks the calling thread (never a pool thread or the link's queue) until the
  // phone answers, a failure is stored, or authTimeout passes, and calls `completion` exactly
  // once, on the calling thread, before it returns. For keyExchange `data` is the other party's
  // public key and `keyExchangeParameters` are required; for sign and decrypt they are ignored.
  void requestAuthentication(
      connectivity_protocol::AuthenticationUsage usage, const platform::foundation::Bytes& data,
      int64_t certID, std::optional<std::string> pin,
      std::optional<platform::crypto_token_kit::TKTokenKeyExchangeParameters> keyExchangeParameters,
      Completion completion);

  // Blocks until every beacon task started by this controller has ended (at most beaconDelay +
  // beaconInterval after the last request began).
  void waitForBeaconTasks();
  // Ends the beacon tasks now (their delays and runs are cut short, each still disables the
  // token) and waits for them: for an owner that is about to be unloaded, so that no task outlives
  // the code it runs.
  void endBeaconTasks();

  // The link's events (on the session's queue).
  void didChangeState(const std::shared_ptr<platform::multipeer::Session>& session,
                      const platform::multipeer::PeerID& peer,
                      platform::multipeer::SessionState state) override;
  void didReceiveData(const std::shared_ptr<platform::multipeer::Session>& session,
                      const platform::foundation::Bytes& data,
                      const platform::multipeer::PeerID& fromPeer) override;
  void didReceiveStream(const std::shared_ptr<platform::multipeer::Session>& session,
                        const std::string& name, const platform::multipeer::PeerID& peer) override;
  void didStartReceivingResource(const std::shared_ptr<platform::multipeer::Session>& session,
                                 const std::string& name,
                                 const platform::multipeer::PeerID& peer) override;
  void didFinishReceivingResource(
      const std::shared_ptr<platform::multipeer::Session>& session, const std::string& name,
      const platform::multipeer::PeerID& peer,
      const std::optional<platform::foundation::ErrorRecord>& error) override;

  // Events of a session that is not the platform's own.
  void session(const std::shared_ptr<connectivity::PeerSession>& session,
               const platform::multipeer::PeerID& didConnect) override;
  void session(const std::shared_ptr<connectivity::PeerSession>& session,
               const platform::foundation::Bytes& didReceive) override;

  const platform::multipeer::PeerID& localPeer() const { return localPeer_; }
  const std::optional<beacon::BeaconData>& beaconData() const { return beaconData_; }

 private:
  ConnectivityController(platform::multipeer::PeerID containerPeer,
                         platform::multipeer::PeerID driverPeer,
                         ConnectivityControllerOptions options);

  struct State;

  // The request in flight is identified by a generation; 0 is none.
  void deliver(uint64_t generation, connectivity_protocol::AuthenticationResult result);
  uint64_t generationOf(const std::shared_ptr<platform::multipeer::Session>& session) const;
  uint64_t generationOf(const std::shared_ptr<connectivity::PeerSession>& session) const;
  void startBeacon(uint64_t generation);
  void disableToken(uint64_t generation, std::weak_ptr<connectivity::PeerSession> session);
  void sendAuthenticationRequest(uint64_t generation,
                                 std::shared_ptr<connectivity::PeerSession> session,
                                 platform::multipeer::PeerID peer);
  void handleAuthenticationData(uint64_t generation, const platform::foundation::Bytes& data);
  void disconnect();

  const platform::multipeer::PeerID localPeer_;
  const ConnectivityControllerOptions options_;
  std::optional<beacon::BeaconData> beaconData_;
  std::unique_ptr<connectivity::PeerManager> peerManager_;
  std::shared_ptr<State> state_;
};

}  // namespace brellis::persistent_token
