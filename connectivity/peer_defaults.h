#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "connectivity/pairing_identity.h"
#include "platform/multipeer/peer_id.h"

namespace brellis::connectivity {

// The pairing state shared by both programs through the application-group suite: the paired
// devices under "PairingIdentities" and archived peer identifiers under keys the callers choose.
// Nothing is cached: every call goes to the suite, which another process may change at any time.
// Callable from any thread; none of the operations raises.
class PeerDefaults {
 public:
  PeerDefaults() = delete;

  // Reads "PairingIdentities" in either stored form; the empty list when nothing can be read.
  // A readable data-form value is rewritten in the text form, but only while the suite still
  // holds the very value that was read (a newer value written meanwhile is kept).
  static std::vector<PairingIdentity> pairingIdentities();
  static std::vector<PairingIdentity> getPairingIdentities() { return pairingIdentities(); }
  // A list (also an empty one) is stored in the text form; absence removes the key.
  static void setPairingIdentities(std::optional<std::vector<PairingIdentity>> list);
  // One read, then one write of what `change` leaves (not atomic across processes).
  static void modifyPairingIdentities(
      const std::function<void(std::optional<std::vector<PairingIdentity>>&)>& change);

  // The peer stored under `key`, else a new peer named `identifier`, stored under `key`.
  static platform::multipeer::PeerID makePeer(const std::string& identifier,
                                              const std::string& key);
  static std::optional<platform::multipeer::PeerID> getPeer(const std::string& key);
  static void removePeer(const std::string& key);

  // Test seam: runs between decoding a data-form value and its rewrite.
  static void setBeforeRewriteHookForTesting(std::function<void()> hook);
};

}  // namespace brellis::connectivity
