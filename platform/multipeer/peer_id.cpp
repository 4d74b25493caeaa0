#include "platform/multipeer/peer_id.h"

#include <utility>

#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/keyed_unarchiver.h"
#include "platform/foundation/uuid.h"

namespace brellis::platform::multipeer {

namespace {

namespace fnd = foundation;

constexpr const char* kPeerIDClassName = "MCPeerID";
constexpr const char* kDisplayNameKey = "displayName";
constexpr const char* kUniqueIdentityKey = "uniqueIdentity";

// The archived form: an MCPeerID object with both fields as NSString references.
class PeerIDEncoding : public fnd::KeyedEncodable {
 public:
  explicit PeerIDEncoding(const PeerID& peer) : peer_(peer) {}
  fnd::KeyedClass keyedClass() const override {
    return fnd::KeyedClass::derivedFromNSObject(kPeerIDClassName);
  }
  void encode(fnd::KeyedArchiver& archiver) const override {
    archiver.encodeString(peer_.displayName(), kDisplayNameKey);
    archiver.encodeString(peer_.uniqueIdentity(), kUniqueIdentityKey);
  }

 private:
  const PeerID& peer_;
};

}  // namespace

PeerID::PeerID(std::string displayName)
    : displayName_(std::move(displayName)), uniqueIdentity_(fnd::Uuid::random().string()) {}

PeerID::PeerID(std::string displayName, std::string uniqueIdentity)
    : displayName_(std::move(displayName)), uniqueIdentity_(std::move(uniqueIdentity)) {}

std::optional<fnd::Bytes> archivePeerID(const PeerID& peer) {
  try {
    fnd::KeyedArchiver archiver;
    archiver.encodeObject(PeerIDEncoding(peer), fnd::kKeyedArchiveRootObjectKey);
    return archiver.encodedData();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<PeerID> unarchivePeerID(const fnd::Bytes& archive) {
  try {
    fnd::KeyedUnarchiver unarchiver(archive);
    std::optional<PeerID> peer;
    unarchiver.decodeObject(
        fnd::kKeyedArchiveRootObjectKey, {kPeerIDClassName},
        [&](fnd::KeyedUnarchiver& fields, const std::string&) {
          std::optional<std::string> name = fields.decodeString(kDisplayNameKey);
          std::optional<std::string> identity = fields.decodeString(kUniqueIdentityKey);
          if (name && identity && !identity->empty()) {
            peer = PeerID(std::move(*name), std::move(*identity));
          }
        });
    return peer;
  } catch (const fnd::DecodingError&) {
    return std::nullopt;
  }
}

}  // namespace brellis::platform::multipeer
