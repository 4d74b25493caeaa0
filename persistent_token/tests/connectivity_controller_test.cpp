#include "persistent_token/connectivity_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "connectivity/pairing_identity.h"
#include "connectivity/peer_defaults.h"
#include "platform/core_bluetooth/simulated_radio.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::persistent_token {
namespace {

namespace ctk = platform::crypto_token_kit;
namespace mp = platform::multipeer;
namespace proto = connectivity_protocol;
using namespace std::chrono_literals;

constexpr const char* kUnlockClass = "com.velkor.tarvo.unlock.token";

// An owner that ends the beacon tasks while one still waits out its delay (the phone never
// came): the task still makes its run, cut short, and finishes it.
TEST(ConnectivityControllerTest, EndingTheTasksDuringTheDelayStillStopsDisablesAndDisconnects) {
  brellis::testing::TemporaryStateRoot root;
  platform::os_log::ScopedLogCapture capture;
  const auto radio = platform::core_bluetooth::SimulatedRadio::defaultDirectory();
  ASSERT_TRUE(platform::core_bluetooth::SimulatedRadio::install(radio));
  connectivity::PeerDefaults::setPairingIdentities(std::vector<connectivity::PairingIdentity>{
      connectivity::PairingIdentity("PHONE-ABSENT", "Phone", {1, 2}, {})});
  ASSERT_TRUE(ctk::TKTokenDriverConfiguration::registerDriverClass(kUnlockClass));
  auto unlockTokens = [] {
    return ctk::TKTokenDriverConfiguration::driverConfigurations()
        .at(kUnlockClass)
        .tokenConfigurations()
        .count("UnlockToken");
  };
  ctk::TKTokenDriverConfiguration::driverConfigurations()
      .at(kUnlockClass)
      .addTokenConfigurationForTokenInstanceID("UnlockToken");
  ASSERT_EQ(unlockTokens(), 1u);

  ConnectivityControllerOptions options;
  options.authTimeout = 100ms;
  options.beaconDelay = 60s;
  options.beaconInterval = 30.0;
  auto controller = ConnectivityController::create(
      mp::PeerID("6F1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"), mp::PeerID("DRIVER"), options);
  int calls = 0;
  controller->requestAuthentication(proto::AuthenticationUsage::sign, {9}, 1, std::nullopt,
                                    std::nullopt, [&](proto::AuthenticationResult result) {
                                      ++calls;
                                      ASSERT_FALSE(result.has_value());
                                      EXPECT_EQ(result.error().value(),
                                                proto::ConnectivityError::Case::timedOut);
                                    });
  EXPECT_EQ(calls, 1);
  capture.sink().clear();

  const auto start = std::chrono::steady_clock::now();
  controller->endBeaconTasks();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  const auto lines = capture.sink().texts("ConnectivityController");
  const auto disabling = std::find(lines.begin(), lines.end(), "Disabling");
  ASSERT_NE(disabling, lines.end());
  ASSERT_NE(disabling + 1, lines.end());
  EXPECT_EQ(*(disabling + 1), "Disconnecting");
  EXPECT_EQ(unlockTokens(), 0u);
  EXPECT_TRUE(platform::core_bluetooth::SimulatedRadio::advertisements(radio).empty());
  connectivity::PeerDefaults::setPairingIdentities(std::nullopt);
}

}  // namespace
}  // namespace brellis::persistent_token
