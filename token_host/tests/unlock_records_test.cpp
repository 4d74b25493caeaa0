#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "platform/foundation/base64.h"
#include "platform/foundation/decoding_error.h"
#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/keyed_unarchiver.h"
#include "platform/foundation/plist_codec.h"
#include "platform/os_log/logger.h"
#include "testing/support/python_oracle.h"
#include "testing/support/temporary_state_root.h"
#include "token_host/unlock_archive.h"
#include "token_host/unlock_data.h"
#include "token_host/unlock_files.h"
#include "token_host/unlock_status.h"

namespace brellis::token_host {
namespace {

using connectivity::PairingIdentity;
using connectivity_protocol::UnlockVersion;
using platform::foundation::Bytes;
using platform::foundation::DecodingError;
using platform::foundation::PlistDict;
using platform::foundation::PlistValue;
using platform::os_log::LogLevel;
using platform::os_log::ScopedLogCapture;

UnlockData sample() {
  return UnlockData(Bytes{0x30, 0x82, 0x01}, true, "0A1B2C3D-0000-4000-8000-000000000001",
                    "driver-peer",
                    {PairingIdentity("PHONE-1", "Phone", Bytes{1, 2}, Bytes{3}),
                     PairingIdentity("PHONE-2", "Pad", Bytes{4}, Bytes{})},
                    UnlockVersion::unlock_1_2_0);
}

nlohmann::json oracle(const Bytes& archive) {
  brellis::testing::OracleOutput output =
      brellis::testing::runPythonOracleOnFile(BRELLIS_ARCHIVE_ORACLE, {}, archive);
  EXPECT_TRUE(output.ok()) << output.out;
  return nlohmann::json::parse(output.out);
}

TEST(UnlockDataTest, ArchiveIsAKeyedArchiveWithTheSixKeysInOrder) {
  auto json = oracle(archiveUnlockData(sample()));
  EXPECT_EQ(json["archiver"], "NSKeyedArchiver");
  EXPECT_EQ(json["version"], 100000);
  EXPECT_EQ(json["top"], nlohmann::json::array({"root"}));
  EXPECT_EQ(json["rootKeys"],
            nlohmann::json::array({"certificate", "requirePIN", "containerID", "driverID",
                                   "pairingIdentities", "unlockVersion"}));
  const auto& root = json["root"];
  EXPECT_EQ(root["certificate"]["hex"], "308201");
  EXPECT_EQ(root["requirePIN"], true);
  EXPECT_EQ(root["containerID"], "0A1B2C3D-0000-4000-8000-000000000001");
  EXPECT_EQ(root["driverID"], "driver-peer");
  EXPECT_EQ(root["unlockVersion"], 1);
  ASSERT_EQ(root["pairingIdentities"].size(), 2u);
  EXPECT_EQ(root["pairingIdentities"][0]["identifier"], "PHONE-1");
  EXPECT_EQ(root["pairingIdentities"][0]["salt"]["hex"], "0102");
  EXPECT_EQ(root["pairingIdentities"][1]["publicKey"]["hex"], "");

  auto status = oracle(archiveUnlockStatus(UnlockStatus{true}));
  EXPECT_EQ(status["rootKeys"], nlohmann::json::array({"isEnabled"}));
  EXPECT_EQ(status["root"]["isEnabled"], true);
}

TEST(UnlockDataTest, TreeRoundTripsAndEveryKeyIsRequired) {
  auto tree = sample().encode();
  EXPECT_EQ(UnlockData::decode(tree), sample());
  EXPECT_EQ(
      UnlockData::decode(*platform::foundation::unarchiveDecodable(archiveUnlockData(sample()))),
      sample());
  for (const char* key : {"certificate", "requirePIN", "containerID", "driverID",
                          "pairingIdentities", "unlockVersion"}) {
    PlistValue missing = tree;
    missing.dict()->remove(key);
    EXPECT_THROW(UnlockData::decode(missing), DecodingError) << key;
  }
  for (auto [key, wrong] : std::vector<std::pair<const char*, PlistValue>>{
           {"certificate", PlistValue("text")},
           {"requirePIN", PlistValue(int64_t{1})},
           {"containerID", PlistValue(Bytes{})},
           {"pairingIdentities", PlistValue(PlistDict{})},
           {"unlockVersion", PlistValue(int64_t{2})},
           {"unlockVersion", PlistValue(int64_t{-1})},
           {"unlockVersion", PlistValue("1")}}) {
    PlistValue changed = tree;
    changed.dict()->set(key, wrong);
    EXPECT_THROW(UnlockData::decode(changed), DecodingError) << key;
  }
  EXPECT_THROW(UnlockData::decode(PlistValue("not a record")), DecodingError);
  EXPECT_THROW(UnlockStatus::decode(PlistDict{}), DecodingError);
}

TEST(UnlockDataTest, EqualityComparesEveryFieldAndTheIdentityOrder) {
  const UnlockData base = sample();
  EXPECT_EQ(base, sample());
  auto with = [&](auto change) {
    Bytes certificate = base.certificate();
    bool requirePIN = base.requirePIN();
    std::string containerID = base.containerID();
    std::string driverID = base.driverID();
    auto identities = base.pairingIdentities();
    UnlockVersion version = base.unlockVersion();
    change(certificate, requirePIN, containerID, driverID, identities, version);
    return UnlockData(certificate, requirePIN, containerID, driverID, identities, version);
  };
  EXPECT_NE(base, with([](Bytes& c, auto&, auto&, auto&, auto&, auto&) { c.push_back(0); }));
  EXPECT_NE(base, with([](auto&, bool& r, auto&, auto&, auto&, auto&) { r = false; }));
  EXPECT_NE(base, with([](auto&, auto&, std::string& c, auto&, auto&, auto&) { c += "x"; }));
  EXPECT_NE(base, with([](auto&, auto&, auto&, std::string& d, auto&, auto&) { d = ""; }));
  EXPECT_NE(base, with([](auto&, auto&, auto&, auto&, auto& i, auto&) { std::swap(i[0], i[1]); }));
  EXPECT_NE(base, with([](auto&, auto&, auto&, auto&, auto& i, auto&) { i.pop_back(); }));
  EXPECT_NE(base, with([](auto&, auto&, auto&, auto&, auto&, UnlockVersion& v) {
              v = UnlockVersion::undefined;
            }));
}

class UnlockFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { UnlockFiles::resetLocationsForTesting(); }
  void TearDown() override { UnlockFiles::resetLocationsForTesting(); }
  static Bytes read(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }
  brellis::testing::TemporaryStateRoot root_;
};

TEST_F(UnlockFilesTest, DropFileHoldsBase64TextAndStatusFileTheListItself) {
  auto directory = root_.path() / "caches" / "com.velkor.tarvo.unlock";
  EXPECT_EQ(UnlockFiles::directory(), directory);
  EXPECT_EQ(UnlockFiles::dropFile(), directory / "com.velkor.tarvo.unlock.drop");
  EXPECT_EQ(UnlockFiles::statusFile(), directory / "com.velkor.tarvo.unlock.status.plist");

  ScopedLogCapture capture;
  UnlockFiles::writeDropFile(sample());
  Bytes drop = read(*UnlockFiles::dropFile());
  std::string text(drop.begin(), drop.end());
  EXPECT_EQ(text.find('\n'), std::string::npos);
  auto plist = platform::foundation::base64Decode(text);
  ASSERT_TRUE(plist.has_value());
  EXPECT_TRUE(platform::foundation::looksLikeBinaryPlist(*plist));
  EXPECT_EQ(UnlockFiles::readDropFile(), sample());

  UnlockFiles::writeStatusFile(true);
  Bytes status = read(*UnlockFiles::statusFile());
  EXPECT_EQ(std::string(status.begin(), status.begin() + 8), "bplist00");
  EXPECT_EQ(UnlockFiles::readStatusFile(), true);
  EXPECT_EQ(capture.sink().texts("FileUtilities"),
            (std::vector<std::string>{"Write Unlock drop file", "Write Unlock status file"}));
}

TEST_F(UnlockFilesTest, FailuresGiveNothingAndTheirLines) {
  ScopedLogCapture capture;
  EXPECT_FALSE(UnlockFiles::readDropFile().has_value());
  EXPECT_FALSE(UnlockFiles::readStatusFile().has_value());
  std::filesystem::create_directories(*UnlockFiles::directory());
  std::ofstream(*UnlockFiles::dropFile()) << "not base64!";
  std::ofstream(*UnlockFiles::statusFile()) << "bplist00 broken";
  EXPECT_FALSE(UnlockFiles::readDropFile().has_value());
  EXPECT_FALSE(UnlockFiles::readStatusFile().has_value());
  UnlockFiles::removeAll();
  UnlockFiles::removeAll();  // nothing left to remove: three failures
  auto texts = capture.sink().texts("FileUtilities");
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], "Error reading Unlock status file");
  EXPECT_EQ(texts[1], "Error reading Unlock status file");
  for (size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(texts[i].rfind("Failed to remove file with error: ", 0), 0u) << texts[i];
  }
  EXPECT_FALSE(std::filesystem::exists(*UnlockFiles::directory()));
}

TEST_F(UnlockFilesTest, ADirectoryInTheWayIsRemovedWithItsContents) {
  ScopedLogCapture capture;
  std::filesystem::create_directories(*UnlockFiles::dropFile() / "inner");
  std::ofstream(*UnlockFiles::dropFile() / "inner" / "file") << "x";
  UnlockFiles::removeDropFile();
  EXPECT_FALSE(std::filesystem::exists(*UnlockFiles::dropFile()));
  UnlockFiles::writeStatusFile(false);
  std::ofstream(*UnlockFiles::directory() / "other") << "y";
  UnlockFiles::removeAll();
  EXPECT_FALSE(std::filesystem::exists(*UnlockFiles::directory()));
  // Only the already removed drop file is reported missing.
  auto texts = capture.sink().texts("FileUtilities");
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.starts_with("Failed to remove"); }),
            1);
}

}  // namespace
}  // namespace brellis::token_host
