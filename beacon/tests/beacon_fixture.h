#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "beacon/beacon_data.h"
#include "platform/core_bluetooth/simulated_radio.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::beacon::testing {

namespace cb = platform::core_bluetooth;

using brellis::testing::waitUntil;

inline BeaconData sampleBeacon(uint16_t major = 1) {
  return BeaconData(*platform::foundation::Uuid::parse("E2C56DB5-DFFB-48D2-B060-D0F5A71096E0"),
                    major, 0, -50);
}

// A fresh state root with a simulated radio polled every 2 ms, and a log capture.
class BeaconTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stateRoot_.emplace();
    radioDir_ = cb::SimulatedRadio::defaultDirectory();
    radio_ = std::make_shared<cb::SimulatedRadio>(radioDir_, std::chrono::milliseconds(2));
  }
  void TearDown() override { stateRoot_.reset(); }

  size_t onAir() const { return cb::SimulatedRadio::advertisements(radioDir_).size(); }
  std::vector<std::string> texts(const char* category) { return capture_.sink().texts(category); }
  size_t countOf(const std::string& text) {
    size_t n = 0;
    for (const auto& t : capture_.sink().texts()) n += t == text ? 1 : 0;
    return n;
  }

  platform::os_log::ScopedLogCapture capture_;
  std::optional<brellis::testing::TemporaryStateRoot> stateRoot_;
  std::filesystem::path radioDir_;
  std::shared_ptr<cb::SimulatedRadio> radio_;
};

// A radio whose starts are answered only when the test says so.
class ControlledRadio : public cb::RadioBackend {
 public:
  cb::RadioStatus status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }
  std::shared_ptr<void> observe(std::function<void()> changed) override {
    std::lock_guard lock(mutex_);
    observers_.push_back(std::move(changed));
    return nullptr;
  }
  void startAdvertising(const std::string&, platform::foundation::Bytes,
                        StartCompletion done) override {
    std::lock_guard lock(mutex_);
    ++starts_;
    pending_.push_back(std::move(done));
  }
  void stopAdvertising(const std::string&) override {
    std::lock_guard lock(mutex_);
    ++stops_;
  }

  void setState(cb::ManagerState state) {
    std::vector<std::function<void()>> observers;
    {
      std::lock_guard lock(mutex_);
      status_.state = state;
      observers = observers_;
    }
    for (auto& fn : observers) fn();
  }
  // Answers every pending start with success.
  void answerStarts() {
    std::vector<StartCompletion> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pending_);
    }
    for (auto& done : pending) done(std::nullopt);
  }
  int starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  int stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
  }

 private:
  mutable std::mutex mutex_;
  cb::RadioStatus status_{cb::ManagerState::poweredOn, cb::ManagerAuthorization::allowedAlways};
  std::vector<std::function<void()>> observers_;
  std::vector<StartCompletion> pending_;
  int starts_ = 0;
  int stops_ = 0;
};

}  // namespace brellis::beacon::testing
