#include "connectivity/peer_defaults.h"

#include <utility>

#include "group_defaults/group_defaults.h"
#include "platform/foundation/base64.h"
#include "platform/foundation/defaults.h"
#include "platform/foundation/main_bundle.h"
#include "platform/os_log/logger.h"

namespace brellis::connectivity {

namespace fnd = platform::foundation;
using group_defaults::GroupDefaults;
using platform::multipeer::PeerID;

namespace {

constexpr const char* kLogCategory = "PeerDefaults";
constexpr const char* kSavedPeerMessage = "Peer is a saved peer";
constexpr const char* kInitialPeerMessage = "Peer is an initial peer";

const char* pairingIdentitiesKey() {
  return GroupDefaults::rawValue(GroupDefaults::Key::pairingIdentities);
}

// The suite object, opened once per process; absent when the platform refuses the suite.
const std::optional<fnd::Defaults>& suite() {
  static const std::optional<fnd::Defaults> defaults = fnd::Defaults::open(GroupDefaults::name);
  return defaults;
}

const platform::os_log::Logger& logger() {
  static const platform::os_log::Logger log(fnd::mainBundleIdentifier(), kLogCategory);
  return log;
}

std::function<void()>& beforeRewriteHook() {
  static std::function<void()> hook;
  return hook;
}

std::optional<std::vector<PairingIdentity>> decodeList(const fnd::Bytes& bytes) {
  try {
    return decodePairingIdentities(bytes);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> encodeText(const std::vector<PairingIdentity>& list) {
  try {
    return fnd::base64Encode(encodePairingIdentities(list));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::vector<PairingIdentity> PeerDefaults::pairingIdentities() {
  const auto& defaults = suite();
  if (!defaults) return {};
  const char* key = pairingIdentitiesKey();
  if (std::optional<fnd::Bytes> data = defaults->data(key)) {
    if (std::optional<std::vector<PairingIdentity>> list = decodeList(*data)) {
      if (beforeRewriteHook()) beforeRewriteHook()();
      if (std::optional<std::string> text = encodeText(*list)) {
        // Compare-and-set: another process may have stored a newer list since the read above;
        // that one must survive, so the rewrite only replaces the bytes that were decoded.
        defaults->replaceIfEqual(key, fnd::PlistValue(*data), fnd::PlistValue(*text));
      }
      return *list;
    }
  }
  std::optional<std::string> text = defaults->string(key);
  if (!text) return {};
  std::optional<fnd::Bytes> bytes = fnd::base64Decode(*text);
  if (!bytes) return {};
  return decodeList(*bytes).value_or(std::vector<PairingIdentity>{});
}

void PeerDefaults::setPairingIdentities(std::optional<std::vector<PairingIdentity>> list) {
  const auto& defaults = suite();
  if (!list) {
    if (defaults) defaults->remove(pairingIdentitiesKey());
    return;
  }
  std::optional<std::string> text = encodeText(*list);
  if (!text || !defaults) return;
  defaults->set(pairingIdentitiesKey(), fnd::PlistValue(std::move(*text)));
}

void PeerDefaults::modifyPairingIdentities(
    const std::function<void(std::optional<std::vector<PairingIdentity>>&)>& change) {
  std::optional<std::vector<PairingIdentity>> value = pairingIdentities();
  change(value);
  setPairingIdentities(std::move(value));
}

PeerID PeerDefaults::makePeer(const std::string& identifier, const std::string& key) {
  if (std::optional<PeerID> saved = getPeer(key)) {
    logger().info(kSavedPeerMessage);
    return *saved;
  }
  logger().info(kInitialPeerMessage);
  PeerID peer(identifier);
  std::optional<fnd::Bytes> archive = platform::multipeer::archivePeerID(peer);
  if (archive && suite()) suite()->set(key, fnd::PlistValue(std::move(*archive)));
  return peer;
}

std::optional<PeerID> PeerDefaults::getPeer(const std::string& key) {
  const auto& defaults = suite();
  if (!defaults) return std::nullopt;
  std::optional<fnd::Bytes> archive = defaults->data(key);
  if (!archive) return std::nullopt;
  return platform::multipeer::unarchivePeerID(*archive);
}

void PeerDefaults::removePeer(const std::string& key) {
  if (suite()) suite()->remove(key);
}

void PeerDefaults::setBeforeRewriteHookForTesting(std::function<void()> hook) {
  beforeRewriteHook() = std::move(hook);
}

}  // namespace brellis::connectivity
