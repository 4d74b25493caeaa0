#pragma once

#include <memory>
#include <optional>

#include "connectivity/peer_defaults_protocol.h"
#include "group_defaults/group_defaults.h"
#include "token_host/token_host_protocol.h"

namespace brellis::login_app {

// The token manager's collaborators, each replaceable.
struct BrellisTokenManagerDependencies {
  // Kept for the shape of the set; the token manager uses the peer defaults directly.
  std::shared_ptr<connectivity::PeerDefaultsProtocol> peerDefaults;
  std::optional<group_defaults::GroupDefaults> groupDefaults;
  std::shared_ptr<token_host::TokenHostProtocol> tokenHost;

  // The process-wide default, made once on first use (thread-safe): a PeerDefaultsWrapper, the
  // suite "group.com.velkor.tarvo" (absent when refused) and one TokenHostWrapper of the class
  // "com.velkor.tarvo.brellis.token", which every user of the default shares.
  static const BrellisTokenManagerDependencies& defaultDependencies();
};

}  // namespace brellis::login_app
