#include "platform/core_bluetooth/simulated_radio.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/core_bluetooth/tests/radio_fixture.h"
#include "testing/support/wait_until.h"

namespace brellis::platform::core_bluetooth {
namespace {

using testing::RadioTest;
using testing::samplePayload;

void writeRaw(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST_F(RadioTest, StatusFollowsTheFolderAndItsFiles) {
  SimulatedRadio radio(radioDir_);
  EXPECT_EQ(radio.status().state, ManagerState::unsupported);

  std::filesystem::create_directories(radioDir_);
  EXPECT_EQ(radio.status(),
            (RadioStatus{ManagerState::poweredOn, ManagerAuthorization::allowedAlways}));

  writeRaw(radioDir_ / "state", " 9\n");
  writeRaw(radioDir_ / "authorization", "2");
  EXPECT_EQ(radio.status(),
            (RadioStatus{static_cast<ManagerState>(9), ManagerAuthorization::denied}));

  for (const std::string& garbled : std::vector<std::string>{
           "", "5x", "five", "99999999999999999999999", std::string(100, '1')}) {
    writeRaw(radioDir_ / "state", garbled);
    EXPECT_EQ(radio.status().state, ManagerState::unknown) << garbled;
  }
  writeRaw(radioDir_ / "authorization", "-");
  EXPECT_EQ(radio.status().authorization, ManagerAuthorization::notDetermined);

  ASSERT_TRUE(SimulatedRadio::uninstall(radioDir_));
  EXPECT_EQ(radio.status().state, ManagerState::unsupported);
}

TEST_F(RadioTest, ControlFunctionsRoundTrip) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_, ManagerState::resetting,
                                      ManagerAuthorization::restricted));
  SimulatedRadio radio(radioDir_);
  EXPECT_EQ(radio.status(),
            (RadioStatus{ManagerState::resetting, ManagerAuthorization::restricted}));
  ASSERT_TRUE(SimulatedRadio::setState(radioDir_, ManagerState::poweredOff));
  ASSERT_TRUE(SimulatedRadio::setAuthorization(radioDir_, ManagerAuthorization::allowedAlways));
  EXPECT_EQ(radio.status(),
            (RadioStatus{ManagerState::poweredOff, ManagerAuthorization::allowedAlways}));
  // No temporary files are left behind.
  size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(radioDir_)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2u);
}

TEST_F(RadioTest, UnsafeAdvertiserNamesAndWrongSizesAreRefused) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  SimulatedRadio radio(radioDir_);
  for (const std::string& name :
       std::vector<std::string>{"", "../escape", "a/b", ".hidden", std::string(200, 'a')}) {
    std::optional<foundation::ErrorRecord> result;
    radio.startAdvertising(name, samplePayload(), [&](auto error) { result = error; });
    ASSERT_TRUE(result.has_value()) << name;
    EXPECT_EQ(result->code, kErrorInvalidParameters);
  }
  std::optional<foundation::ErrorRecord> result;
  radio.startAdvertising("1-1", foundation::Bytes(5), [&](auto error) { result = error; });
  EXPECT_TRUE(result.has_value());
  EXPECT_FALSE(std::filesystem::exists(root_ / "escape.adv"));
  EXPECT_TRUE(SimulatedRadio::advertisements(radioDir_).empty());
}

TEST_F(RadioTest, AdvertisementsSkipDeadOwnersAndMalformedFiles) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  testing::PeerProcess peer(std::string(BRELLIS_RADIO_PEER) + " advertise-and-exit " +
                            radioDir_.string() + " " + testing::hex(samplePayload(3)));
  EXPECT_EQ(peer.readLine(), "on-air");
  EXPECT_EQ(peer.wait(), 0);
  // The peer's file is still there, but its owner is gone.
  size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(radioDir_ / "adverts")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);
  EXPECT_TRUE(SimulatedRadio::advertisements(radioDir_).empty());

  writeRaw(radioDir_ / "adverts" / "short.adv", "abc");
  writeRaw(radioDir_ / "adverts" / "long.adv", std::string(22, 'x'));
  writeRaw(radioDir_ / "adverts" / "other.txt", std::string(21, 'x'));
  writeRaw(radioDir_ / "adverts" / "ok.adv", std::string(21, 'x'));
  auto adverts = SimulatedRadio::advertisements(radioDir_);
  ASSERT_EQ(adverts.size(), 1u);
  EXPECT_EQ(adverts[0].advertiser, "ok");
}

TEST_F(RadioTest, ObserversAreToldOfChangesUntilTheirTokenIsGone) {
  ASSERT_TRUE(SimulatedRadio::install(radioDir_));
  auto radio = fastRadio();
  std::atomic<int> calls{0};
  auto token = radio->observe([&] { ++calls; });
  auto waitFor = [&](int n) {
    return brellis::testing::waitUntil([&] { return calls.load() >= n; });
  };
  ASSERT_TRUE(waitFor(1));  // The baseline look.
  int before = calls.load();
  ASSERT_TRUE(SimulatedRadio::setAuthorization(radioDir_, ManagerAuthorization::denied));
  ASSERT_TRUE(waitFor(before + 1));
  token.reset();
  int after = calls.load();
  ASSERT_TRUE(SimulatedRadio::setState(radioDir_, ManagerState::poweredOff));
  // Only time can show that no call comes: fifteen looks of the radio.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(calls.load(), after);
}

}  // namespace
}  // namespace brellis::platform::core_bluetooth
