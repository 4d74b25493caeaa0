#include "connectivity/peer_defaults.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connectivity/pairing_identity_store.h"
#include "connectivity/peer_defaults_store.h"
#include "group_defaults/group_defaults.h"
#include "platform/foundation/base64.h"
#include "platform/foundation/defaults.h"
#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/plist_codec.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::connectivity {
namespace {

namespace fnd = platform::foundation;
using platform::multipeer::PeerID;

constexpr const char* kKey = "PairingIdentities";

fnd::Defaults suite() { return *fnd::Defaults::open(group_defaults::GroupDefaults::name); }

PairingIdentity identity(const std::string& id) {
  return PairingIdentity(id, "Phone " + id, {1, 2, static_cast<uint8_t>(id.size())}, {9, 8});
}

// Runs the other program's side of a cross-process test, in a separate process, with one role.
std::string runPeer(const std::string& role, const std::string& argument) {
  char output[] = "/tmp/brellis-peer-out-XXXXXX";
  close(mkstemp(output));
  EXPECT_EQ(brellis::testing::runProgram(CONNECTIVITY_PEER, {role, argument, output}), 0) << role;
  std::ifstream in(output);
  std::string result((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(output);
  return result;
}

class PeerDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { stateRoot_.emplace(); }
  void TearDown() override {
    PeerDefaults::setBeforeRewriteHookForTesting(nullptr);
    stateRoot_.reset();
  }
  std::optional<brellis::testing::TemporaryStateRoot> stateRoot_;
};

TEST_F(PeerDefaultsTest, DataFormIsReadThenRewrittenAsText) {
  std::vector<PairingIdentity> list{identity("A"), identity("B")};
  fnd::Bytes bytes = encodePairingIdentities(list);
  suite().set(kKey, fnd::PlistValue(bytes));

  EXPECT_EQ(PeerDefaults::pairingIdentities(), list);
  std::optional<std::string> text = suite().string(kKey);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, fnd::base64Encode(bytes));
  EXPECT_EQ(PeerDefaults::pairingIdentities(), list);  // now through the text path
}

TEST_F(PeerDefaultsTest, WritesAndRemovals) {
  PeerDefaults::setPairingIdentities(std::vector<PairingIdentity>{});
  ASSERT_TRUE(suite().string(kKey));
  EXPECT_EQ(fnd::readPlist(*fnd::base64Decode(*suite().string(kKey))),
            fnd::PlistValue(fnd::PlistArray{}));
  EXPECT_TRUE(PeerDefaults::pairingIdentities().empty());

  PeerDefaults::modifyPairingIdentities([](auto& value) { value->push_back(identity("C")); });
  EXPECT_EQ(PeerDefaults::getPairingIdentities(), std::vector<PairingIdentity>{identity("C")});

  PeerDefaults::setPairingIdentities(std::nullopt);
  EXPECT_FALSE(suite().object(kKey));
  EXPECT_TRUE(PeerDefaults::pairingIdentities().empty());
}

TEST_F(PeerDefaultsTest, UnreadableValuesGiveTheEmptyListAndStay) {
  std::string text = fnd::base64Encode(encodePairingIdentities({identity("A")}));
  suite().set(kKey, fnd::PlistValue(text + "\n"));
  EXPECT_TRUE(PeerDefaults::pairingIdentities().empty());
  EXPECT_EQ(suite().string(kKey), text + "\n");

  fnd::PlistDict incomplete = *identity("A").toPropertyList().dict();
  incomplete.remove("publicKey");
  fnd::Bytes partial = fnd::writeBinaryPlist(fnd::PlistValue(
      fnd::PlistArray{identity("B").toPropertyList(), fnd::PlistValue(incomplete)}));
  suite().set(kKey, fnd::PlistValue(fnd::base64Encode(partial)));
  EXPECT_TRUE(PeerDefaults::pairingIdentities().empty());

  suite().set(kKey, fnd::PlistValue(fnd::Bytes{'j', 'u', 'n', 'k'}));
  EXPECT_TRUE(PeerDefaults::pairingIdentities().empty());
  EXPECT_EQ(suite().data(kKey), (fnd::Bytes{'j', 'u', 'n', 'k'}));

  EXPECT_NE(identity("A"), PairingIdentity("A", "Phone A", {1, 2, 1}, {9, 9}));
}

TEST_F(PeerDefaultsTest, PeersAreMadeOnceAndUnreadableOnesAreAbsent) {
  platform::os_log::ScopedLogCapture capture;
  PeerID first = PeerDefaults::makePeer("A", "ContainerPeer");
  PeerID second = PeerDefaults::makePeer("B", "ContainerPeer");
  EXPECT_EQ(first, second);
  EXPECT_EQ(second.displayName(), "A");
  EXPECT_EQ(capture.sink().texts("PeerDefaults"),
            (std::vector<std::string>{"Peer is an initial peer", "Peer is a saved peer"}));

  EXPECT_NE(PeerDefaults::makePeer("A", "DriverPeer"), first);  // same name, another peer

  suite().set("StringPeer", fnd::PlistValue("text"));
  suite().set("GarbagePeer", fnd::PlistValue(fnd::Bytes{1, 2, 3}));
  suite().set("OtherClassPeer", fnd::PlistValue(fnd::archiveEncodable(fnd::PlistValue("A"))));
  EXPECT_FALSE(PeerDefaults::getPeer("StringPeer"));
  EXPECT_FALSE(PeerDefaults::getPeer("GarbagePeer"));
  EXPECT_FALSE(PeerDefaults::getPeer("OtherClassPeer"));
  auto keysBefore = suite().dictionaryRepresentation().size();
  PeerDefaults::removePeer("Missing");  // removes nothing else
  EXPECT_EQ(suite().dictionaryRepresentation().size(), keysBefore);
  PeerDefaults::removePeer("ContainerPeer");
  EXPECT_FALSE(PeerDefaults::getPeer("ContainerPeer"));
  EXPECT_EQ(suite().dictionaryRepresentation().size(), keysBefore - 1);
  EXPECT_TRUE(PeerDefaults::getPeer("DriverPeer"));
}

TEST_F(PeerDefaultsTest, StaleRewriteNeverOverwritesANewerListFromAnotherProcess) {
  suite().set(kKey, fnd::PlistValue(encodePairingIdentities({identity("old")})));
  // Between this process's read of the data form and its rewrite, the main program (another
  // process) stores a newer list.
  PeerDefaults::setBeforeRewriteHookForTesting([] { runPeer("write-data-form", "new"); });
  EXPECT_EQ(PeerDefaults::pairingIdentities(), std::vector<PairingIdentity>{identity("old")});
  PeerDefaults::setBeforeRewriteHookForTesting(nullptr);

  EXPECT_EQ(suite().data(kKey), encodePairingIdentities({identity("new")}));
  EXPECT_EQ(PeerDefaults::pairingIdentities(), std::vector<PairingIdentity>{identity("new")});
  EXPECT_TRUE(suite().string(kKey));
}

TEST_F(PeerDefaultsTest, PeerMadeInOneProcessIsTheSamePeerInAnother) {
  std::string identity = runPeer("make-peer", "Mac-A");
  ASSERT_FALSE(identity.empty());
  EXPECT_EQ(runPeer("get-peer", ""), "Mac-A/" + identity);
  std::optional<PeerID> here = PeerDefaults::getPeer("ContainerPeer");
  ASSERT_TRUE(here);
  EXPECT_EQ(here->uniqueIdentity(), identity);
  EXPECT_EQ(PeerDefaults::makePeer("Mac-B", "ContainerPeer").uniqueIdentity(), identity);
}

class FixedIdentities : public PairingIdentities {
 public:
  std::vector<PairingIdentity> pairingIdentities() const override { return {identity("F")}; }
};

TEST_F(PeerDefaultsTest, StoreIsReplaceableFromManyThreads) {
  PeerDefaults::setPairingIdentities(std::vector<PairingIdentity>{identity("D")});
  EXPECT_EQ(PairingIdentityStore::shared()->pairingIdentities(),
            std::vector<PairingIdentity>{identity("D")});
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i] {
      for (int j = 0; j < 50; ++j) {
        if ((i + j) % 2 == 0) {
          PairingIdentityStore::setShared(std::make_shared<FixedIdentities>());
        } else {
          // Either store, whole: the default one over the defaults or a replacement.
          auto identities = PairingIdentityStore::shared()->pairingIdentities();
          EXPECT_TRUE(identities == std::vector<PairingIdentity>{identity("D")} ||
                      identities == std::vector<PairingIdentity>{identity("F")});
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(PairingIdentityStore::shared()->pairingIdentities(),
            std::vector<PairingIdentity>{identity("F")});
  PairingIdentityStore::setShared(nullptr);
  EXPECT_EQ(PairingIdentityStore::shared()->pairingIdentities(),
            std::vector<PairingIdentity>{identity("D")});
}

}  // namespace
}  // namespace brellis::connectivity
