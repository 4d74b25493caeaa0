#include "connectivity/advertiser_handler.h"

#include <algorithm>

#include "connectivity/handler_messages.h"
#include "connectivity/pairing_digest.h"
#include "connectivity/pairing_identity_store.h"
#include "connectivity/platform_peer_session.h"
#include "platform/foundation/main_bundle.h"
#include "platform/os_log/log_text.h"

namespace brellis::connectivity {

namespace mp = platform::multipeer;
using platform::foundation::Bytes;

namespace {
constexpr const char* kLogCategory = "AdvertiserHandler";
constexpr const char* kReceivedInvitation = "Received invitation from peer: %{public}@";
constexpr const char* kContextUndefined = "Invitation context is undefined";
constexpr const char* kVerifyingPeer = "Verifying inviting peer is paired";
constexpr const char* kIdentityExists = "Pairing identity exists for inviting peer";
constexpr const char* kAccepting = "Accepting invitation";
constexpr const char* kDenying = "Denying invitation";
constexpr const char* kDenyingWithIdentities =
    "Denying invitation: stored pairing identities: %{public}@";
constexpr const char* kFailedToStart = "Failed to start advertising with error: %{public}@";

// The identifiers as the platform prints a list of strings: ["A", "B"], each escaped, so that an
// identifier cannot forge log text.
std::string describeIdentifiers(const std::vector<PairingIdentity>& identities) {
  std::string text = "[";
  for (size_t i = 0; i < identities.size(); ++i) {
    if (i > 0) text += ", ";
    text += platform::os_log::quotedDescription(identities[i].identifier());
  }
  return text + "]";
}

}  // namespace

AdvertiserHandler::AdvertiserHandler(std::string localIdentifier)
    : localIdentifier_(std::move(localIdentifier)),
      log_(platform::foundation::mainBundleIdentifier(), kLogCategory) {}

std::optional<Bytes> AdvertiserHandler::salt() const {
  std::lock_guard lock(mutex_);
  return salt_;
}

void AdvertiserHandler::setSalt(std::optional<Bytes> salt) {
  std::lock_guard lock(mutex_);
  salt_ = std::move(salt);
}

std::shared_ptr<PeerSession> AdvertiserHandler::session() const {
  std::lock_guard lock(mutex_);
  return session_;
}

void AdvertiserHandler::setSession(std::shared_ptr<PeerSession> session) {
  std::lock_guard lock(mutex_);
  session_ = std::move(session);
}

bool AdvertiserHandler::takeMatchingSalt(const Bytes& context) {
  std::lock_guard lock(mutex_);
  if (!salt_ || !contextMatches(pairingDigest(localIdentifier_, *salt_), context)) return false;
  salt_.reset();
  return true;
}

void AdvertiserHandler::didReceiveInvitationFromPeer(
    const std::shared_ptr<mp::NearbyServiceAdvertiser>&, const mp::PeerID& peer,
    const std::optional<Bytes>& context, mp::InvitationHandler invitationHandler) {
  log_.info(kReceivedInvitation, platform::os_log::escapingControls(peer.displayName()));
  auto session = this->session();
  if (!session) {
    log_.error(kSessionUndefinedMessage);
    invitationHandler(false, nullptr);
    return;
  }
  // Only the platform's own session can take the invitation's link.
  auto answerSession = platformSessionOf(session);
  if (!context) {
    log_.error(kContextUndefined);
    invitationHandler(false, answerSession);
    return;
  }
  if (takeMatchingSalt(*context)) {
    log_.info(kAccepting);
    invitationHandler(true, answerSession);
    return;
  }
  log_.info(kVerifyingPeer);
  auto identities = PairingIdentityStore::shared()->pairingIdentities();
  auto match = std::find_if(identities.begin(), identities.end(), [&](const PairingIdentity& id) {
    return id.identifier() == peer.displayName();
  });
  if (match == identities.end()) {
    auto current = PairingIdentityStore::shared()->pairingIdentities();
    log_.info(kDenyingWithIdentities, describeIdentifiers(current));
    invitationHandler(false, answerSession);
    return;
  }
  log_.info(kIdentityExists);
  if (contextMatches(pairingDigest(localIdentifier_, match->salt()), *context)) {
    log_.info(kAccepting);
    invitationHandler(true, answerSession);
  } else {
    log_.info(kDenying);
    invitationHandler(false, answerSession);
  }
}

void AdvertiserHandler::didNotStartAdvertisingPeer(
    const std::shared_ptr<mp::NearbyServiceAdvertiser>&,
    const platform::foundation::ErrorRecord& error) {
  log_.error(kFailedToStart, error.localizedDescription());
}

}  // namespace brellis::connectivity
