#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/serial_queue.h"
#include "platform/foundation/error_record.h"
#include "platform/multipeer/frame.h"
#include "platform/multipeer/peer_id.h"

namespace brellis::platform::multipeer {

class Link;
class Session;

// The error domain of the link's errors, with its codes.
inline constexpr const char* kErrorDomain = "MCErrorDomain";
enum class ErrorCode : int64_t {
  unknown = 0,
  notConnected = 1,
  invalidParameter = 2,
  unsupported = 3,
  timedOut = 4,
  cancelled = 5,
  unavailable = 6,
};
foundation::ErrorRecord makeError(ErrorCode code);

// The state of one remote peer in a session, with the platform's raw values.
enum class SessionState : int64_t { notConnected = 0, connecting = 1, connected = 2 };
enum class SendDataMode : int64_t { reliable = 0, unreliable = 1 };
enum class EncryptionPreference : uint8_t { optional = 0, required = 1, none = 2 };

// Receives a session's events, always on the session's own serial queue, one at a time. The
// session holds its delegate weakly: a delegate that is gone receives nothing.
class SessionDelegate {
 public:
  virtual ~SessionDelegate() = default;
  virtual void didChangeState(const std::shared_ptr<Session>& session, const PeerID& peer,
                              SessionState state) = 0;
  virtual void didReceiveData(const std::shared_ptr<Session>& session, const Bytes& data,
                              const PeerID& fromPeer) = 0;
  // Streams and resources are not carried by the local link; these are never called by it.
  virtual void didReceiveStream(const std::shared_ptr<Session>&, const std::string& /*name*/,
                                const PeerID&) {}
  virtual void didStartReceivingResource(const std::shared_ptr<Session>&,
                                         const std::string& /*name*/, const PeerID&) {}
  virtual void didFinishReceivingResource(const std::shared_ptr<Session>&,
                                          const std::string& /*name*/, const PeerID&,
                                          const std::optional<foundation::ErrorRecord>&) {}
};

// A session of the local link: the local peer plus one link per remote peer. A remote peer joins
// when an invitation between the two is accepted (states 1 then 2 are reported on both sides);
// a declined or timed-out invitation, a goodbye, a vanished peer or a broken frame are reported
// as state 0. The operations may be called from any thread; events go to the delegate on the
// session's queue. Made only as a shared object (create()).
class Session : public std::enable_shared_from_this<Session> {
 public:
  // Security identities are not supported by the local link: sessions are made without one.
  static std::shared_ptr<Session> create(PeerID myPeer, EncryptionPreference encryptionPreference);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const PeerID& myPeerID() const { return myPeer_; }
  EncryptionPreference encryptionPreference() const { return encryptionPreference_; }
  const dispatch::SerialQueue& delegateQueue() const { return queue_; }

  std::shared_ptr<SessionDelegate> delegate() const;
  void setDelegate(std::weak_ptr<SessionDelegate> delegate);

  // The peers whose state is connected (2), in the order they connected.
  std::vector<PeerID> connectedPeers() const;

  // Queues `data` for every peer in `toPeers` (both modes are delivered reliably and in order).
  // Raises foundation::ErrorException of kErrorDomain: invalidParameter for no peers, empty data
  // or data above the frame cap; notConnected when any of the peers is not connected (then
  // nothing is sent to anyone).
  void sendData(const Bytes& data, const std::vector<PeerID>& toPeers, SendDataMode mode);

  // Leaves the session: every remote peer gets a goodbye and sees state 0; pending invitations
  // end. The local delegate is not told. The session may be invited into again afterwards.
  void disconnect();

  // Fault hooks for tests.
  void failNextSend();               // the next sendData raises kErrorDomain unknown (0)
  void dropNextFrame();              // the next data frame to any peer is lost on the way
  void cutLink(const PeerID& peer);  // the link to `peer` breaks without a goodbye
  void cutAllLinks();

  // Used by the browser: sends an invitation to the advertiser listening at `socketPath`.
  void invite(const PeerID& peer, std::filesystem::path socketPath, std::optional<Bytes> context,
              std::chrono::milliseconds timeout);
  // Used by the advertiser: takes over the link of an accepted invitation. False (and nothing is
  // taken) when the peer is already in the session or the encryption preferences do not mix.
  bool adoptAcceptedLink(const std::shared_ptr<Link>& link, const PeerID& peer,
                         EncryptionPreference remotePreference);

 private:
  enum class EntryState { inviting, connecting, connected };
  struct Entry {
    PeerID peer;
    std::shared_ptr<Link> link;
    EntryState state;
  };

  Session(PeerID myPeer, EncryptionPreference encryptionPreference);
  void onFrame(const std::shared_ptr<Link>& link, Frame frame);
  void onClosed(const std::shared_ptr<Link>& link);
  void onInvitationTimeout(const std::shared_ptr<Link>& link);
  // Removes the entry of `link` (if it is still the current one) and reports state 0.
  void dropEntry(const std::shared_ptr<Link>& link, bool sendBye);
  // Posts the event to the delegate queue; call with mutex_ held so that events keep the order
  // of the state changes they describe.
  void postState(const PeerID& peer, SessionState state);
  void postData(const PeerID& peer, Bytes data);
  Entry* findByLink(const std::shared_ptr<Link>& link);
  Entry* findByPeer(const PeerID& peer);
  std::vector<std::shared_ptr<Link>> takeAllLinks();

  const PeerID myPeer_;
  const EncryptionPreference encryptionPreference_;
  dispatch::SerialQueue queue_;
  mutable std::mutex mutex_;
  std::weak_ptr<SessionDelegate> delegate_;
  std::vector<Entry> entries_;
  bool failNextSend_ = false;
  bool dropNextFrame_ = false;
};

// Whether two sessions' encryption preferences allow them to connect.
bool encryptionPreferencesMix(EncryptionPreference a, EncryptionPreference b);

}  // namespace brellis::platform::multipeer
