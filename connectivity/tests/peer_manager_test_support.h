#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "connectivity/pairing_identities.h"
#include "connectivity/pairing_identity_store.h"
#include "platform/multipeer/nearby_service_advertiser.h"

namespace brellis::connectivity::testing {

// A fixed list of paired devices, installed as the process's store for one test.
class FixedIdentities : public PairingIdentities {
 public:
  explicit FixedIdentities(std::vector<PairingIdentity> list) : list_(std::move(list)) {}
  std::vector<PairingIdentity> pairingIdentities() const override { return list_; }

 private:
  std::vector<PairingIdentity> list_;
};

class ScopedIdentities {
 public:
  explicit ScopedIdentities(std::vector<PairingIdentity> list)
      : previous_(PairingIdentityStore::shared()) {
    PairingIdentityStore::setShared(std::make_shared<FixedIdentities>(std::move(list)));
  }
  ~ScopedIdentities() { PairingIdentityStore::setShared(previous_); }

 private:
  std::shared_ptr<const PairingIdentities> previous_;
};

// The answer given to one invitation handler.
struct Answer {
  bool accepted = false;
  std::shared_ptr<platform::multipeer::Session> session;
};

// A handler that records its answer; `answer` stays absent until it is answered.
inline std::pair<platform::multipeer::InvitationHandler, std::shared_ptr<std::optional<Answer>>>
recordingHandler() {
  auto answer = std::make_shared<std::optional<Answer>>();
  platform::multipeer::InvitationHandler handler(
      [answer](bool accepted, std::shared_ptr<platform::multipeer::Session> session) {
        *answer = Answer{accepted, std::move(session)};
      },
      {false, nullptr});
  return {handler, answer};
}

}  // namespace brellis::connectivity::testing
