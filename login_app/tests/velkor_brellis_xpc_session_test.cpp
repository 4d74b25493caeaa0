// The beacon session's rules in this process, with the fetch, the clock of the runs and the radio
// in the test's hands: two starts whose fetches certainly overlap, and the beacon on air.

#include "login_app/velkor_brellis_xpc_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "platform/dispatch/clock.h"
#include "platform/foundation/uuid.h"
#include "platform/os_log/logger.h"
#include "testing/support/wait_until.h"

namespace brellis::login_app {
namespace {

namespace cb = platform::core_bluetooth;
using platform::foundation::Bytes;
using platform::foundation::ErrorRecord;
using namespace std::chrono_literals;

constexpr const char* kContainerA = "5B0F7F2E-8C1D-4C33-9D7E-0A1B2C3D4E5F";
constexpr const char* kContainerB = "0E1D2C3B-4A59-4687-9A6B-5C4D3E2F1A0B";
constexpr int64_t kTimedOut = 2;
constexpr int64_t kCanceled = 3;

// A powered-on radio that keeps what is on air.
class RecordingRadio : public cb::RadioBackend {
 public:
  cb::RadioStatus status() const override {
    return {cb::ManagerState::poweredOn, cb::ManagerAuthorization::allowedAlways};
  }
  std::shared_ptr<void> observe(std::function<void()>) override { return nullptr; }
  void startAdvertising(const std::string& advertiser, Bytes payload,
                        StartCompletion done) override {
    {
      std::lock_guard lock(mutex_);
      onAir_[advertiser] = std::move(payload);
    }
    done(std::nullopt);
  }
  void stopAdvertising(const std::string& advertiser) override {
    std::lock_guard lock(mutex_);
    onAir_.erase(advertiser);
  }
  std::vector<Bytes> onAir() const {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> payloads;
    for (const auto& [advertiser, payload] : onAir_) payloads.push_back(payload);
    return payloads;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Bytes> onAir_;
};

// The answers one start's completion received.
class Answers {
 public:
  VelkorBrellisXPCSession::Completion completion() {
    return [this](std::optional<ErrorRecord> error) {
      std::lock_guard lock(mutex_);
      got_.push_back(std::move(error));
    };
  }
  std::vector<std::optional<ErrorRecord>> got() const {
    std::lock_guard lock(mutex_);
    return got_;
  }
  bool answered() const { return !got().empty(); }
  // The error code of the one answer; -1 for success, -2 for none or several.
  int64_t code() const {
    auto all = got();
    if (all.size() != 1) return -2;
    if (!all[0]) return -1;
    EXPECT_EQ(all[0]->domain, "Brellis.BeaconError");
    return all[0]->code;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::optional<ErrorRecord>> got_;
};

// The unlock data of each account; a fetch takes as long as its account's delay on `clock`.
struct Accounts {
  std::shared_ptr<platform::dispatch::ManualClock> clock =
      std::make_shared<platform::dispatch::ManualClock>();
  std::map<std::string, std::pair<std::chrono::nanoseconds, std::string>> delayAndContainer;
  std::mutex mutex;
  std::vector<std::string> fetched;
};

asio::awaitable<token_host::UnlockData> fetchFrom(std::shared_ptr<Accounts> accounts,
                                                  std::string account) {
  std::pair<std::chrono::nanoseconds, std::string> entry;
  {
    std::lock_guard lock(accounts->mutex);
    accounts->fetched.push_back(account);
    entry = accounts->delayAndContainer.at(account);
  }
  co_await accounts->clock->sleep(entry.first);
  co_return token_host::UnlockData(Bytes{1}, false, entry.second, "Driver", {},
                                   connectivity_protocol::UnlockVersion::unlock_1_2_0);
}

// UUID ‖ major ‖ minor ‖ measured power, each number big-endian, as a scanner reads it.
Bytes advert(const std::string& uuid, uint16_t major, uint16_t minor, int8_t power) {
  const auto parsed = platform::foundation::Uuid::parse(uuid)->bytes();
  Bytes bytes(21);
  for (size_t i = 0; i < 16; ++i) bytes[i] = parsed[i];
  bytes[16] = static_cast<uint8_t>(major >> 8);
  bytes[17] = static_cast<uint8_t>(major);
  bytes[18] = static_cast<uint8_t>(minor >> 8);
  bytes[19] = static_cast<uint8_t>(minor);
  bytes[20] = static_cast<uint8_t>(power);
  return bytes;
}

class VelkorBrellisXPCSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    accounts_->delayAndContainer["alice"] = {1s, kContainerA};
    accounts_->delayAndContainer["bob"] = {2s, kContainerB};
    VelkorBrellisXPCSession::Options options;
    options.clock = runs_;
    options.radio = radio_;
    options.fetchUnlockData = [accounts = accounts_](std::string account) {
      return fetchFrom(accounts, std::move(account));
    };
    session_ = VelkorBrellisXPCSession::create(std::move(options));
  }
  void TearDown() override {
    // Every run still going ends, so no task outlives the test's objects.
    runs_->advance(1h);
    EXPECT_TRUE(brellis::testing::waitUntil([&] { return radio_->onAir().empty(); }));
  }

  // Both starts are in their fetch before either fetch ends; then the fetches end in the order
  // the delays give (alice first).
  void startBothWithOverlappingFetches(Answers& alice, Answers& bob) {
    const size_t before = accounts_->clock->requestedSleeps().size();
    session_->startBeacon("alice", alice.completion());
    session_->startBeacon("bob", bob.completion());
    ASSERT_TRUE(accounts_->clock->waitForSleeps(before + 2));
    EXPECT_FALSE(alice.answered());
    EXPECT_FALSE(bob.answered());
  }

  // Every start and stop has ended, its last step (a run's time-out) included: each task holds
  // the session to its end, and nothing else does.
  bool allTasksEnded() const { return session_.use_count() == 1; }

  std::shared_ptr<Accounts> accounts_ = std::make_shared<Accounts>();
  std::shared_ptr<platform::dispatch::ManualClock> runs_ =
      std::make_shared<platform::dispatch::ManualClock>();
  std::shared_ptr<RecordingRadio> radio_ = std::make_shared<RecordingRadio>();
  std::shared_ptr<VelkorBrellisXPCSession> session_;
  platform::os_log::ScopedLogCapture capture_;
};

TEST_F(VelkorBrellisXPCSessionTest, TheBeaconCarriesTheAccountsContainerMajorOneMinorZero) {
  Answers alice;
  session_->startBeacon("alice", alice.completion());
  ASSERT_TRUE(accounts_->clock->waitForSleeps(1));
  accounts_->clock->advance(1s);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return !radio_->onAir().empty(); }));
  EXPECT_EQ(radio_->onAir(), std::vector<Bytes>{advert(kContainerA, 1, 0, -50)});
  {
    std::lock_guard lock(accounts_->mutex);
    EXPECT_EQ(accounts_->fetched, std::vector<std::string>{"alice"});
  }
  // The advert goes on air when the radio reports powered on, which may be before the start is
  // stored; the run's sleep comes after the store, so the stop below finds it pending.
  ASSERT_TRUE(runs_->waitForSleeps(1));
  // A stop answers the start with success; the advert stays to the end of its 30 seconds.
  std::atomic<bool> stopped{false};
  session_->stopBeacon([&] { stopped = true; });
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return stopped && alice.answered(); }));
  EXPECT_EQ(alice.code(), -1);
  runs_->advance(29s);
  EXPECT_EQ(radio_->onAir().size(), 1u);
  runs_->advance(1s);
  EXPECT_TRUE(brellis::testing::waitUntil([&] { return radio_->onAir().empty(); }));
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return allTasksEnded(); }));
  EXPECT_EQ(alice.code(), -1);
}

TEST_F(VelkorBrellisXPCSessionTest, OfTwoOverlappingStartsTheEarlierToStoreIsCanceled) {
  // alice's fetch ends first, so alice stores first and bob's store displaces it.
  Answers alice, bob;
  startBothWithOverlappingFetches(alice, bob);
  accounts_->clock->advance(1s);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return radio_->onAir().size() == 1; }));
  ASSERT_TRUE(runs_->waitForSleeps(1));  // alice's run has begun: it has stored
  EXPECT_FALSE(alice.answered());
  runs_->advance(10s);
  accounts_->clock->advance(1s);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return alice.answered(); }));
  EXPECT_EQ(alice.code(), kCanceled);
  EXPECT_FALSE(bob.answered());
  // Both beacons are on air; the end of alice's run, 10 seconds before the end of bob's, answers
  // bob, who is pending by then. Bob's advert stays to the end of its own run.
  ASSERT_TRUE(runs_->waitForSleeps(2));
  // The sleep of bob's run does not prove his advert is on air yet: that comes from his radio.
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return radio_->onAir().size() == 2; }));
  runs_->advance(20s);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return bob.answered(); }));
  EXPECT_EQ(bob.code(), kTimedOut);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return radio_->onAir().size() == 1; }));
  EXPECT_EQ(radio_->onAir(), std::vector<Bytes>{advert(kContainerB, 1, 0, -50)});
  runs_->advance(10s);
  EXPECT_TRUE(brellis::testing::waitUntil([&] { return radio_->onAir().empty(); }));
  // The advert goes off air before the run's time-out answers: that answer must not reach the
  // starts below.
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return allTasksEnded(); }));
  EXPECT_EQ(alice.code(), kCanceled);
  EXPECT_EQ(bob.code(), kTimedOut);

  // The other way round: bob's fetch ends first this time, so bob is the one displaced.
  {
    std::lock_guard lock(accounts_->mutex);
    accounts_->delayAndContainer["alice"].first = 2s;
    accounts_->delayAndContainer["bob"].first = 1s;
  }
  Answers alice2, bob2;
  startBothWithOverlappingFetches(alice2, bob2);
  accounts_->clock->advance(1s);
  ASSERT_TRUE(runs_->waitForSleeps(3));
  EXPECT_FALSE(bob2.answered());
  accounts_->clock->advance(1s);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return bob2.answered(); }));
  EXPECT_EQ(bob2.code(), kCanceled);
  ASSERT_TRUE(runs_->waitForSleeps(4));
  runs_->advance(30s);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return alice2.answered(); }));
  EXPECT_EQ(alice2.code(), kTimedOut);
  EXPECT_EQ(bob2.code(), kCanceled);
}

}  // namespace
}  // namespace brellis::login_app
