#include "platform/multipeer/peer_id.h"

#include <gtest/gtest.h>

#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/plist_codec.h"

namespace brellis::platform::multipeer {
namespace {

namespace fnd = foundation;

TEST(PeerIDArchive, RoundTripsNameAndIdentity) {
  PeerID peer("Mac \xE2\x80\x94 A");
  PeerID twin("Mac \xE2\x80\x94 A");
  EXPECT_NE(peer, twin);  // one name, two peers
  EXPECT_EQ(peer, PeerID("other name", peer.uniqueIdentity()));

  std::optional<fnd::Bytes> archive = archivePeerID(peer);
  ASSERT_TRUE(archive);
  std::optional<PeerID> back = unarchivePeerID(*archive);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->displayName(), peer.displayName());
  EXPECT_EQ(back->uniqueIdentity(), peer.uniqueIdentity());

  // The archive's root is an MCPeerID object deriving from NSObject.
  fnd::PlistValue raw = fnd::readBinaryPlist(*archive);
  const fnd::PlistArray& objects = *raw.dict()->find("$objects")->array();
  uint64_t root = raw.dict()->find("$top")->dict()->find("root")->uid()->value;
  uint64_t cls = objects[root].dict()->find("$class")->uid()->value;
  EXPECT_EQ(*objects[cls].dict()->find("$classname")->string(), "MCPeerID");
  EXPECT_EQ(objects[cls].dict()->find("$classes")->array()->size(), 2u);
}

TEST(PeerIDArchive, OnlyTheOneClassIsAccepted) {
  EXPECT_FALSE(unarchivePeerID({}));
  EXPECT_FALSE(unarchivePeerID({'b', 'p', 'l', 'i', 's', 't', '0', '0', 1}));
  EXPECT_FALSE(unarchivePeerID(fnd::archiveEncodable(fnd::PlistValue("MCPeerID"))));

  class Impostor : public fnd::KeyedEncodable {
   public:
    explicit Impostor(const char* cls) : cls_(cls) {}
    fnd::KeyedClass keyedClass() const override {
      return fnd::KeyedClass::derivedFromNSObject(cls_);
    }
    void encode(fnd::KeyedArchiver& archiver) const override {
      archiver.encodeString("name", "displayName");
      if (std::string(cls_) != "MCPeerID") archiver.encodeString("id", "uniqueIdentity");
    }
    const char* cls_;
  };
  for (const char* cls : {"NSURL", "MCPeerID"}) {  // another class; the class without identity
    fnd::KeyedArchiver archiver;
    archiver.encodeObject(Impostor(cls), fnd::kKeyedArchiveRootObjectKey);
    EXPECT_FALSE(unarchivePeerID(archiver.encodedData())) << cls;
  }
}

}  // namespace
}  // namespace brellis::platform::multipeer
